#pragma once
// Putting a copy in place: copied beside the target under a hidden name, cleared, checked,
// then renamed into place in one step; and clearing away what moves cut short left behind.
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

#include "placement/Identity.h"
#include "platform/Lock.h"

namespace Settling {

// A copy being put in place is first made beside its target under this name and a UUID.
inline constexpr std::string_view temporaryPrefix = ".Quendrel.app.";

// The result of moving a copy.
struct Moved {
  std::filesystem::path location;
  bool operator==(const Moved&) const = default;
};
struct Failed {
  std::string why;  // whole sentences for the user
  bool operator==(const Failed&) const = default;
};
struct Running {  // the target is a copy of ours that runs; nothing changed
  bool operator==(const Running&) const = default;
};
struct Foreign {  // the target is something else; left alone, nothing changed
  bool operator==(const Foreign&) const = default;
};
using Outcome = std::variant<Moved, Failed, Running, Foreign>;

// Puts a copy of `source` at `target`: copied beside it under a hidden temporary name,
// cleared of quarantine, checked against the source's signature, then renamed into place in
// one step (swapped with what stood there, which is then removed). `running` tells whether a
// copy at a location runs. On failure nothing is left but the target's folder.
Outcome move(const std::filesystem::path& source, const std::filesystem::path& target,
             const Test& running);

// Removes the hidden temporary copies in the folder that nothing has changed for an hour
// before `now`: what moves that did not finish left behind.
void removeStaleCopies(const std::filesystem::path& folder,
                       std::chrono::system_clock::time_point now);

// Locks the folder for putting a copy in place there (held while the lock lives) and removes
// the hidden temporary copies that moves and updates cut short left in it: all of them with
// the lock held, since every one still at work holds it; only stale ones otherwise. Every move
// into a folder does this first.
Platform::FolderLock clearLeftovers(const std::filesystem::path& folder,
                                    std::chrono::system_clock::time_point now);

// Removes the location and everything below it for good, read-only folders included.
void discard(const std::filesystem::path& location);

// Removes the quarantine attribute from the location and everything below it; true when
// nothing carries it afterwards.
bool unquarantine(const std::filesystem::path& location);

// Whether the copy is validly signed, by the same signer and with the same identifier as
// the source.
bool intact(const std::filesystem::path& copy, const std::filesystem::path& source);

}  // namespace Settling
