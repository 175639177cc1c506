#include "platform/Copying.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/Descriptor.h"

namespace Platform {
namespace {

// An attribute that the target's file system or our rights do not allow is left behind:
// the system's own labels (security.*) and file systems without user attributes must not
// stop an installation.
bool ignorable(int error) {
  return error == ENOTSUP || error == EPERM || error == EACCES;
}

// The attribute names of an item, or the error number.
int attributeNames(const std::filesystem::path& path, std::vector<std::string>& names) {
  std::vector<char> list;
  for (;;) {
    ssize_t size = llistxattr(path.c_str(), nullptr, 0);
    if (size < 0) return ignorable(errno) ? 0 : errno;
    if (size == 0) return 0;
    list.resize(static_cast<std::size_t>(size));
    ssize_t got = llistxattr(path.c_str(), list.data(), list.size());
    if (got >= 0) {
      list.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) return errno;  // grew meanwhile: ask again
  }
  for (std::size_t at = 0; at < list.size();) {
    std::string name(list.data() + at);
    at += name.size() + 1;
    if (!name.empty()) names.push_back(std::move(name));
  }
  return 0;
}

int copyAttributes(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::vector<std::string> names;
  if (int error = attributeNames(from, names)) return error;
  for (const auto& name : names) {
    ssize_t size = lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) {
      if (errno == ENODATA || ignorable(errno)) continue;
      return errno;
    }
    std::vector<char> value(static_cast<std::size_t>(size));
    size = lgetxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (size < 0) {
      if (errno == ENODATA || ignorable(errno)) continue;
      return errno;
    }
    if (lsetxattr(to.c_str(), name.c_str(), value.data(), static_cast<std::size_t>(size), 0) != 0 &&
        !ignorable(errno)) {
      return errno;
    }
  }
  return 0;
}

int setTimes(const std::filesystem::path& to, const struct stat& s) {
  const timespec times[2] = {s.st_atim, s.st_mtim};
  return utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int copyBytes(int from, int to) {
  // The kernel copies without the bytes passing through us where it can.
  for (;;) {
    ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return errno;
  }
  constexpr std::size_t block = 1 << 20;
  auto buffer = std::make_unique<char[]>(block);
  for (;;) {
    ssize_t n = read(from, buffer.get(), block);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buffer.get() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
  }
}

int copyFile(const std::filesystem::path& from, const std::filesystem::path& to,
             const struct stat& s) {
  Descriptor in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.valid()) return errno;
  Descriptor out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) return errno;
  if (int error = copyBytes(in.get(), out.get())) return error;
  if (int error = copyAttributes(from, to)) return error;
  if (fchmod(out.get(), s.st_mode & 07777) != 0) return errno;
  const timespec times[2] = {s.st_atim, s.st_mtim};
  if (futimens(out.get(), times) != 0) return errno;
  if (close(out.release()) != 0) return errno;
  return 0;
}

int copyItem(const std::filesystem::path& from, const std::filesystem::path& to,
             const std::vector<std::string>& leaveOut = {}) {
  struct stat s;
  if (lstat(from.c_str(), &s) != 0) return errno;

  if (S_ISREG(s.st_mode)) return copyFile(from, to, s);

  if (S_ISLNK(s.st_mode)) {
    std::vector<char> target(static_cast<std::size_t>(s.st_size) + 1);
    ssize_t n = readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) >= target.size()) return EIO;  // changed while copied
    if (symlink(std::string(target.data(), n).c_str(), to.c_str()) != 0) return errno;
    if (int error = copyAttributes(from, to)) return error;
    return setTimes(to, s);
  }

  if (!S_ISDIR(s.st_mode)) return ENOTSUP;  // devices, pipes and sockets have no place in a bundle

  // Our own rights first, so the folder can be filled even when its mode is read-only.
  if (mkdir(to.c_str(), 0700) != 0) return errno;
  if (int error = copyAttributes(from, to)) return error;
  {
    std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(from.c_str()), closedir);
    if (!folder) return errno;
    for (;;) {
      errno = 0;
      dirent* entry = readdir(folder.get());
      if (!entry) {
        if (errno != 0) return errno;
        break;
      }
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (std::find(leaveOut.begin(), leaveOut.end(), name) != leaveOut.end()) continue;
      if (int error = copyItem(from / name, to / name)) return error;
    }
  }
  if (chmod(to.c_str(), s.st_mode & 07777) != 0) return errno;
  // Last, since filling the folder changed its time.
  return setTimes(to, s);
}

}  // namespace

int copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
             const std::vector<std::string>& leaveOut) {
  return copyItem(from, to, leaveOut);
}

int renameAtomically(const std::filesystem::path& from, const std::filesystem::path& to,
                     Rename how) {
  unsigned flags = how == Rename::exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0 ? 0 : errno;
}

}  // namespace Platform
