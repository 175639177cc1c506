#include "platform/Bundle.h"

#include "platform/Plist.h"

namespace Platform {

std::optional<std::string> Bundle::value(const std::string& key) const {
  return Plist::text(info(), key);
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

}  // namespace Platform
