#pragma once
// One item on disk as the system reports it, never following a final symbolic link, and the
// changes to it that std::filesystem cannot make that way.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace Platform {

enum class ItemKind { file, folder, link, other };

struct ItemStatus {
  ItemKind kind = ItemKind::other;
  unsigned mode = 0;  // the permission bits with set-user-ID, set-group-ID and sticky (07777)
  std::uintmax_t size = 0;
  std::chrono::system_clock::time_point modified;
  std::chrono::system_clock::time_point changed;  // the status change time, which no one can set
};

// lstat: nothing when nothing stands at the path.
std::optional<ItemStatus> lookAt(const std::filesystem::path& path);

// The target a symbolic link holds, as written; nothing when it is not a link.
std::optional<std::string> linkTarget(const std::filesystem::path& path);

// Adds permission bits to the mode of an item that is not a symbolic link (links are never
// given new permissions). False when it is a link or the change failed.
bool addMode(const std::filesystem::path& path, unsigned bits);

// Sets the mode (07777) of an item that is not a symbolic link.
bool setMode(const std::filesystem::path& path, unsigned mode);

// The system's text for an error number (strerror).
std::string errorText(int error);

}  // namespace Platform
