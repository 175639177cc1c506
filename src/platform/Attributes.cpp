#include "platform/Attributes.h"

#include <sys/xattr.h>

#include <cerrno>

namespace Platform::Attributes {

bool has(const std::filesystem::path& path, const std::string& name) {
  return lgetxattr(path.c_str(), name.c_str(), nullptr, 0) >= 0;
}

int remove(const std::filesystem::path& path, const std::string& name) {
  return lremovexattr(path.c_str(), name.c_str()) == 0 ? 0 : errno;
}

int set(const std::filesystem::path& path, const std::string& name, const std::string& value) {
  return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0 ? 0 : errno;
}

}  // namespace Platform::Attributes
