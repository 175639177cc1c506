#pragma once
// Keeping an eye on one file or folder wherever it goes: a descriptor held on it that follows
// it through renames, and word on the main thread when it is renamed, deleted or its volume
// goes away.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace Platform {

// Which object a path or descriptor stands for.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
};

// The object at the path, links followed; nothing when nothing is there.
std::optional<FileId> fileId(const std::filesystem::path& path);

// What the file system reported about a watched item, all since the last report.
struct WatchEvents {
  bool renamed = false;
  bool deleted = false;
  bool revoked = false;  // its volume went away, or the watch ended
};

class Watch {
 public:
  using Handler = std::function<void(WatchEvents)>;

  // Opens the item for watching only and starts reporting to `handler`, on the main thread,
  // from the event loop. Nothing when the item cannot be opened or examined. Without an event
  // loop the item is held but nothing is reported.
  static std::optional<Watch> hold(const std::filesystem::path& path, Handler handler);

  ~Watch();
  Watch(Watch&&) noexcept;
  Watch& operator=(Watch&&) noexcept;

  // The item's identity when the watch began.
  FileId held() const;

  // Where the item is now, as the system names it (links resolved). Nothing once it has been
  // deleted (no name links to it any more) or when the system cannot tell.
  std::optional<std::filesystem::path> current() const;

 private:
  struct Impl;
  explicit Watch(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace Platform
