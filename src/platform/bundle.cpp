#include "platform/bundle.h"

#include <mutex>

#include "platform/plist.h"

namespace platform {
namespace {

std::mutex pretendMutex;
std::optional<std::filesystem::path> pretended;

}  // namespace

std::optional<std::string> Bundle::value(const std::string& key) const {
  return plist::text(info(), key);
}

std::optional<Bundle> bundleHolding(const std::filesystem::path& executable) {
  std::filesystem::path macos = executable.parent_path();
  std::filesystem::path contents = macos.parent_path();
  std::filesystem::path app = contents.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
      app.extension() != ".app") {
    return std::nullopt;
  }
  return Bundle{app};
}

std::optional<Bundle> mainBundle() {
  {
    std::lock_guard lock(pretendMutex);
    if (pretended) return Bundle{*pretended};
  }
  std::error_code error;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return bundleHolding(exe);
}

void pretendMainBundle(const std::filesystem::path& location) {
  std::lock_guard lock(pretendMutex);
  pretended = location;
}

}  // namespace platform
