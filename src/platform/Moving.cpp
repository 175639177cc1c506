#include "platform/Moving.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>

namespace Platform {

std::optional<std::string> moveItem(const std::filesystem::path& from,
                                    const std::filesystem::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return std::nullopt;
  }
  return std::strerror(errno);
}

}  // namespace Platform
