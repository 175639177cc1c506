// Which Applications folders there are, where a copy should go, where copies already stand,
// and how to tell the user where this one is.
#include <algorithm>

#include "placement/Applications.h"
#include "placement/Moving.h"
#include "platform/Copying.h"
#include "platform/Files.h"
#include "platform/Images.h"
#include "platform/Mounts.h"

namespace fs = std::filesystem;

namespace Settling {

Folders folders() {
  return {"/Applications", Platform::home() / "Applications"};
}

bool settled(const fs::path& bundle) {
  const std::string path = Platform::resolved(bundle);
  const std::string own = Platform::resolved(Platform::home() / "Applications");
  if (bundle.extension() != ".app") return false;
  return path.starts_with("/Applications/") || path.starts_with(own + "/");
}

bool canWrite(const fs::path& folder) {
  std::error_code error;
  auto status = fs::status(folder, error);
  if (fs::is_directory(status)) return Platform::isWritable(folder);
  if (fs::exists(status)) return false;
  return Platform::isWritable(Platform::withoutTrailingSlash(folder).parent_path());
}

std::optional<fs::path> destination(const fs::path& bundle, const Folders& folders,
                                    const Test& writable) {
  const fs::path plain = Platform::withoutTrailingSlash(bundle);
  const std::string path = Platform::resolved(plain);
  const bool placed = std::any_of(folders.begin(), folders.end(), [&](const fs::path& folder) {
    return path.starts_with(Platform::resolved(folder) + "/");
  });
  if (plain.extension() != ".app" || folders.empty() || placed) return std::nullopt;
  for (const auto& folder : folders) {
    if (writable(folder)) return folder / fileName;
  }
  return std::nullopt;
}

std::string describe(const fs::path& bundle) {
  const fs::path plain = Platform::withoutTrailingSlash(bundle);
  const std::string path = plain.string();
  if (diskImage(plain)) return "its disk image";
  if (path.find("/AppTranslocation/") != std::string::npos) return "where it was downloaded";
  if (path.starts_with((Platform::home() / "Downloads").string() + "/")) {
    return "your Downloads folder";
  }
  const fs::path parent = plain.parent_path();
  std::string name = parent.filename().string();
  if (name.empty()) name = parent.string();
  return "“" + name + "”";
}

std::optional<fs::path> diskImage(const fs::path& location) {
  auto mount = Platform::mountHolding(location);
  if (!mount || !Platform::isDiskImage(mount->type, mount->source)) return std::nullopt;
  return mount->mountPoint;
}

std::optional<fs::path> installedCopy(const Folders& folders) {
  std::optional<fs::path> best;
  Pair bestPair;
  for (const auto& folder : folders) {
    for (const auto& name : fileNames) {
      const fs::path candidate = folder / name;
      if (!isOurs(candidate)) continue;
      Pair pair{version(candidate), build(candidate)};
      if (!best || newer(pair, bestPair)) {
        best = candidate;
        bestPair = pair;
      }
    }
  }
  return best;
}

std::optional<fs::path> renamedToCurrent(const fs::path& bundle, const Folders& folders) {
  const fs::path plain = Platform::withoutTrailingSlash(bundle);
  const std::string name = plain.filename().string();
  if (name == fileName) return std::nullopt;
  if (std::find(fileNames.begin(), fileNames.end(), name) == fileNames.end()) return std::nullopt;
  if (!isOurs(plain)) return std::nullopt;
  const fs::path holder = plain.parent_path();
  const std::string holderPath = Platform::resolved(holder);
  if (std::none_of(folders.begin(), folders.end(), [&](const fs::path& folder) {
        return Platform::resolved(folder) == holderPath;
      })) {
    return std::nullopt;
  }
  const fs::path current = holder / fileName;
  if (Platform::existsNoFollow(current)) return std::nullopt;
  // Never over something that appeared meanwhile: a plain rename would replace it silently.
  if (Platform::renameAtomically(plain, current, Platform::Rename::exclusive) != 0) {
    return std::nullopt;
  }
  return current;
}

bool eject(const fs::path& mountPoint) {
  std::error_code error;
  const fs::path point = fs::canonical(mountPoint, error);
  if (error) return false;
  std::optional<Platform::Mount> found;
  for (auto& mount : Platform::mounts()) {
    if (mount.mountPoint == point) found = mount;
  }
  if (!found || !Platform::isDiskImage(found->type, found->source)) return false;
  return Platform::unmountImage(*found);
}

}  // namespace Settling
