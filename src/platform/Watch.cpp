#include "platform/Watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/Descriptor.h"
#include "platform/Files.h"

namespace Platform {
namespace {

// What readlink on /proc/self/fd/N puts after the path of an item that no name links to.
constexpr std::string_view deletedMark = " (deleted)";

std::string fdLink(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

std::optional<FileId> fileId(const std::filesystem::path& path) {
  struct stat s;
  if (stat(path.c_str(), &s) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino)};
}

struct Watch::Impl {
  Descriptor item;    // O_PATH: follows the item through renames, reads nothing of it
  Descriptor events;  // the inotify instance watching that same item
  FileId held;
  Handler handler;
  std::unique_ptr<QSocketNotifier> notifier;

  // Reads every event waiting, then reports them once.
  void deliver() {
    WatchEvents seen;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t n = read(events.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (char* p = buffer; p < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(p);
        if (event->mask & IN_MOVE_SELF) seen.renamed = true;
        if (event->mask & IN_DELETE_SELF) seen.deleted = true;
        if (event->mask & (IN_UNMOUNT | IN_IGNORED)) seen.revoked = true;
        p += sizeof(inotify_event) + event->len;
      }
    }
    if (!seen.renamed && !seen.deleted && !seen.revoked) return;
    // An ended watch reports nothing more; stop listening so the notifier does not spin.
    if (seen.revoked && notifier) notifier->setEnabled(false);
    if (handler) handler(seen);
  }
};

Watch::Watch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Watch::~Watch() = default;
Watch::Watch(Watch&&) noexcept = default;
Watch& Watch::operator=(Watch&&) noexcept = default;

std::optional<Watch> Watch::hold(const std::filesystem::path& path, Handler handler) {
  auto impl = std::make_unique<Impl>();
  impl->item = Descriptor(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!impl->item.valid()) return std::nullopt;
  struct stat s;
  if (fstat(impl->item.get(), &s) != 0) return std::nullopt;
  impl->held = {static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino)};

  impl->events = Descriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!impl->events.valid()) return std::nullopt;
  // Watching through the descriptor's own link watches exactly the object we hold, even if
  // something else took its name in the meantime.
  const std::string link = fdLink(impl->item.get());
  if (inotify_add_watch(impl->events.get(), link.c_str(),
                        IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT) < 0) {
    return std::nullopt;
  }
  impl->handler = std::move(handler);
  if (QCoreApplication::instance()) {
    impl->notifier = std::make_unique<QSocketNotifier>(impl->events.get(), QSocketNotifier::Read);
    Impl* raw = impl.get();
    QObject::connect(impl->notifier.get(), &QSocketNotifier::activated, [raw] { raw->deliver(); });
  }
  return Watch(std::move(impl));
}

FileId Watch::held() const {
  return impl_->held;
}

std::optional<std::filesystem::path> Watch::current() const {
  struct stat s;
  if (fstat(impl_->item.get(), &s) != 0 || s.st_nlink == 0) return std::nullopt;
  char buffer[4096];
  const std::string link = fdLink(impl_->item.get());
  ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
  std::string text(buffer, static_cast<size_t>(n));
  // The mark is the system's unless something really is named that way.
  if (text.ends_with(deletedMark) && !existsNoFollow(text)) return std::nullopt;
  return std::filesystem::path(text);
}

}  // namespace Platform
