#include "platform/Lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace Platform {

FolderLock::FolderLock(const std::filesystem::path& folder)
    // Close-on-exec, so that no child (the desk's agent least of all) inherits the lock.
    : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!fd_.valid()) return;
  int result;
  do {
    result = flock(fd_.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return;
  taken_ = errno == EWOULDBLOCK;
  fd_ = Descriptor();
}

}  // namespace Platform
