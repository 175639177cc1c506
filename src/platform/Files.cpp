#include "platform/Files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/Descriptor.h"

namespace Platform {

std::filesystem::path home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

std::filesystem::path temporaryFolder() {
  if (const char* t = std::getenv("TMPDIR"); t && *t) return t;
  return "/tmp";
}

std::filesystem::path dataHome() {
  const char* data = std::getenv("XDG_DATA_HOME");
  return data && *data == '/' ? std::filesystem::path(data) : home() / ".local/share";
}

std::filesystem::path ownTrash() {
  return dataHome() / "Trash/files";
}

bool isVolumeTrash(const std::string& name) {
  constexpr std::string_view prefix = ".Trash-";
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return false;
  return name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

std::string resolved(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path r = std::filesystem::weakly_canonical(path, error);
  return error ? path.string() : r.string();
}

std::filesystem::path withoutTrailingSlash(const std::filesystem::path& path) {
  std::string s = path.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string uuid() {
  unsigned char bytes[16];
  // The kernel's random bytes; reads this short are never cut off once it is seeded.
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
  bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
  static const char* hex = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(hex[bytes[i] >> 4]);
    text.push_back(hex[bytes[i] & 15]);
  }
  return text;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat s;
  if (stat(path.c_str(), &s) != 0 || !S_ISREG(s.st_mode)) return false;
  return access(path.c_str(), X_OK) == 0;
}

bool isWritable(const std::filesystem::path& path) {
  return access(path.c_str(), W_OK) == 0;
}

bool existsNoFollow(const std::filesystem::path& path) {
  struct stat s;
  return lstat(path.c_str(), &s) == 0;
}

std::optional<std::chrono::system_clock::time_point> modified(const std::filesystem::path& path) {
  struct stat s;
  if (stat(path.c_str(), &s) != 0) return std::nullopt;
  auto since = std::chrono::seconds(s.st_mtim.tv_sec) + std::chrono::nanoseconds(s.st_mtim.tv_nsec);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

bool writeAtomically(const std::filesystem::path& path, const std::string& bytes, unsigned mode) {
  std::filesystem::path temporary = path;
  temporary += "." + uuid() + ".tmp";
  Descriptor fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) return false;
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fd.reset();
      unlink(temporary.c_str());
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (fsync(fd.get()) != 0 || close(fd.release()) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<std::filesystem::path> makePrivateFolder(const std::string& prefix) {
  std::filesystem::path folder = temporaryFolder() / (prefix + uuid());
  if (mkdir(folder.c_str(), 0700) != 0) return std::nullopt;
  return folder;
}

}  // namespace Platform
