#include "platform/Items.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace Platform {
namespace {

std::chrono::system_clock::time_point timePoint(const timespec& t) {
  auto since = std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

}  // namespace

std::optional<ItemStatus> lookAt(const std::filesystem::path& path) {
  struct stat s;
  if (lstat(path.c_str(), &s) != 0) return std::nullopt;
  ItemStatus status;
  status.kind = S_ISREG(s.st_mode)   ? ItemKind::file
                : S_ISDIR(s.st_mode) ? ItemKind::folder
                : S_ISLNK(s.st_mode) ? ItemKind::link
                                     : ItemKind::other;
  status.mode = s.st_mode & 07777;
  status.size = static_cast<std::uintmax_t>(s.st_size);
  status.modified = timePoint(s.st_mtim);
  status.changed = timePoint(s.st_ctim);
  return status;
}

std::optional<std::string> linkTarget(const std::filesystem::path& path) {
  struct stat s;
  if (lstat(path.c_str(), &s) != 0 || !S_ISLNK(s.st_mode)) return std::nullopt;
  // st_size of a link is its target's length, but it may change under us: grow until it fits.
  std::vector<char> buffer(static_cast<std::size_t>(s.st_size) + 1);
  for (;;) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() > (1u << 20)) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

bool addMode(const std::filesystem::path& path, unsigned bits) {
  struct stat s;
  if (lstat(path.c_str(), &s) != 0 || S_ISLNK(s.st_mode)) return false;
  return chmod(path.c_str(), (s.st_mode & 07777) | bits) == 0;
}

bool setMode(const std::filesystem::path& path, unsigned mode) {
  struct stat s;
  if (lstat(path.c_str(), &s) != 0 || S_ISLNK(s.st_mode)) return false;
  return chmod(path.c_str(), mode & 07777) == 0;
}

std::string errorText(int error) {
  return std::strerror(error);
}

}  // namespace Platform
