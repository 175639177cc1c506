#include "platform/Bundle.h"

#include <fstream>

#include "platform/Plist.h"

namespace Platform {

std::optional<std::string> Bundle::value(const std::string& key) const {
  return Plist::text(info(), key);
}

namespace {

namespace fs = std::filesystem;

// The path this program was started by (its first argument), made absolute with its
// symbolic links kept; nothing when it was found on the search path.
std::optional<fs::path> startedAs() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string first;
  if (!std::getline(in, first, '\0') || first.find('/') == std::string::npos) return std::nullopt;
  std::error_code error;
  fs::path whole = fs::absolute(first, error);
  if (error) return std::nullopt;
  return whole.lexically_normal();
}

}  // namespace

std::optional<Bundle> bundleOfThisProcess() {
  std::error_code error;
  auto exe = fs::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  auto resolved = bundleHolding(exe);
  auto started = startedAs();
  auto opened = started ? bundleHolding(*started) : std::nullopt;
  // The bundle as it was opened, when that is the same folder reached through linked
  // folders above it; a bundle that is itself a link is taken where it really is.
  if (!resolved || !opened || fs::is_symlink(opened->location, error)) return resolved;
  if (!fs::equivalent(opened->location, resolved->location, error) || error) return resolved;
  return opened;
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
