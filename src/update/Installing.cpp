// Putting a staged version in place of the running one and starting it.
#include <cerrno>
#include <chrono>

#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Bundle.h"
#include "platform/Copying.h"
#include "platform/Files.h"
#include "platform/Items.h"
#include "setup/Installer.h"
#include "signing/CodeSign.h"
#include "update/AppUpdate.h"

namespace fs = std::filesystem;

namespace AppUpdate {
namespace {

constexpr const char* cannotUpdateHere =
    "Quendrel is in a place it cannot update itself from. Move it to your Applications folder "
    "first.";
constexpr const char* notInPlace = "Could not put the new Quendrel in place: ";
constexpr const char* changedSince = "It has changed since it was downloaded and checked.";
constexpr const char* settingUp =
    "Quendrel is setting up, and cannot relaunch until that has finished. Try again once it is "
    "done.";

std::string notPut(const std::string& why) {
  return notInPlace + why;
}

// Swaps the new copy with the bundle in one step; the old bundle ends where the new copy
// was, and is removed. A staged copy on another file system is first copied beside the
// bundle under a hidden name, since a rename cannot cross file systems; the folder is held
// as a move holds it, so that the next move or update clears the copy should this one be cut
// short.
std::optional<std::string> swapIn(const fs::path& staged, const fs::path& bundle) {
  int error = Platform::renameAtomically(staged, bundle, Platform::Rename::exchange);
  if (error == 0) {
    Settling::discard(staged);
    return std::nullopt;
  }
  if (error != EXDEV) return notPut(Platform::errorText(error));

  const auto lock =
      Settling::clearLeftovers(bundle.parent_path(), std::chrono::system_clock::now());
  const fs::path beside =
      bundle.parent_path() / (std::string(Settling::temporaryPrefix) + Platform::uuid());
  error = Platform::copyTree(staged, beside);
  if (error == 0) error = Platform::renameAtomically(beside, bundle, Platform::Rename::exchange);
  Settling::discard(beside);
  if (error != 0) return notPut(Platform::errorText(error));
  Settling::discard(staged);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> install(const fs::path& staged) {
  // A setup keeps this copy from quitting: the new version would run beside it.
  if (Installer::running) return settingUp;
  auto bundle = Platform::mainBundle();
  if (!bundle || !Platform::isWritable(bundle->location.parent_path())) return cannotUpdateHere;

  // The staged copy may have waited a long while; only a copy still signed like us goes in.
  if (!Platform::existsNoFollow(staged)) return notPut(Platform::errorText(ENOENT));
  if (!CodeSign::signedLikeUs(staged)) return notPut(changedSince);

  if (auto problem = swapIn(staged, bundle->location)) return problem;
  // Started or not, the new version is in place and opens next time: this one goes either way.
  Settling::openAsNewInstance(bundle->location, {});
  return std::nullopt;
}

}  // namespace AppUpdate
