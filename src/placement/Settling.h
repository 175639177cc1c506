#pragma once
// Copies of the application on disk: who they are, which version, and which run.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/lock.h"

namespace Settling {

inline constexpr std::string_view fileName = "Quendrel.app";
inline const std::vector<std::string> fileNames = {"Quendrel.app", "Tarvic.app"};
inline const std::set<std::string> identities = {"com.quendrel.manager", "com.tarvicone.manager"};
inline constexpr std::string_view movedFrom = "--moved-from";
inline constexpr std::string_view handedOver = "--handed-over";

// A copy's (version, build).
using Pair = std::pair<std::string, std::string>;

std::optional<std::string> identity(const std::filesystem::path& bundle);
bool isOurs(const std::filesystem::path& bundle);
std::string version(const std::filesystem::path& bundle);
std::string build(const std::filesystem::path& bundle);

// Whether `a` is newer than `b`: the version decides, and the build when versions are equal.
bool newer(const Pair& a, const Pair& b);

// The running application's own (version, build).
Pair running();

// Whether another process runs the bundle at exactly this location.
bool isRunning(const std::filesystem::path& bundle);

// Whether any running application, this one included, has its bundle inside the folder.
bool inUse(const std::filesystem::path& folder);

// Placing a copy in an Applications folder.

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

using Folders = std::vector<std::filesystem::path>;
using Test = std::function<bool(const std::filesystem::path&)>;

// "/Applications", then the Applications folder in the home folder.
Folders folders();

// Whether `bundle` is an ".app" beneath "/Applications/" or the user's own Applications
// folder (links resolved), at any depth.
bool settled(const std::filesystem::path& bundle);

// Whether a copy could be put in the folder (or the folder made, when it does not exist).
bool canWrite(const std::filesystem::path& folder);

// Where the bundle should move to: the first writable folder plus "Quendrel.app". Nothing
// when it is not an ".app", already lies beneath one of the folders, or none is writable.
std::optional<std::filesystem::path> destination(const std::filesystem::path& bundle,
                                                 const Folders& folders, const Test& writable);

// Where the bundle is, for "Quendrel is running from …": "its disk image", "where it was
// downloaded", "your Downloads folder", or the holding folder's name between “ and ”.
std::string describe(const std::filesystem::path& bundle);

// The mount point of the disk image that holds the location, when it is on one.
std::optional<std::filesystem::path> diskImage(const std::filesystem::path& location);

// The newest copy of ours standing directly in the folders under one of `fileNames`; on a
// tie the earlier folder and the current name win.
std::optional<std::filesystem::path> installedCopy(const Folders& folders);

// Renames a copy of ours called "Tarvic.app", directly in one of the folders, to
// "Quendrel.app" beside it, when nothing has that name yet. The new location, or nothing.
std::optional<std::filesystem::path> renamedToCurrent(const std::filesystem::path& bundle,
                                                      const Folders& folders);

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
platform::FolderLock clearLeftovers(const std::filesystem::path& folder,
                                    std::chrono::system_clock::time_point now);

// Removes the location and everything below it for good, read-only folders included.
void discard(const std::filesystem::path& location);

// Removes the quarantine attribute from the location and everything below it; true when
// nothing carries it afterwards.
bool unquarantine(const std::filesystem::path& location);

// Whether the copy is validly signed, by the same signer and with the same identifier as
// the source.
bool intact(const std::filesystem::path& copy, const std::filesystem::path& source);

// Detaches the disk image mounted at `mountPoint`, never by force. False when it is not a
// disk image's mount point or could not be detached (for one, something still uses it).
bool eject(const std::filesystem::path& mountPoint);

// Starts the application at `app` as a new instance, even while a copy of it runs, with the
// arguments; detached from this process. The reason when it could not be started.
std::optional<std::string> openAsNewInstance(const std::filesystem::path& app,
                                             const std::vector<std::string>& arguments);

}  // namespace Settling
