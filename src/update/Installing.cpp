// Putting a staged version in place of the running one and starting it.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/App.h"
#include "platform/Bundle.h"
#include "platform/Copying.h"
#include "platform/Files.h"
#include "platform/Items.h"
#include "platform/Process.h"
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

// How long a new version has to say it is up: QUENDREL_RELAUNCH_SECONDS, else 20 seconds.
std::chrono::steady_clock::duration patience() {
  double seconds = 20;
  if (const char* given = std::getenv("QUENDREL_RELAUNCH_SECONDS")) {
    char* end = nullptr;
    const double read = std::strtod(given, &end);
    if (end != given && *end == '\0' && read > 0 && read <= 600) seconds = read;
  }
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

std::string notPut(const std::string& why) {
  return notInPlace + why;
}

// Swaps the new copy with the bundle in one step, by way of a hidden name beside the bundle
// (`aside`), where the old bundle ends. The staged copy is renamed there, or copied there
// when it lies on another file system, since a rename cannot cross them; the caller holds the
// folder as a move holds it, so that the next move or update clears the copy should this one
// be cut short. Under a hidden name the old bundle is no longer a copy of ours that the new
// version would ask to quit.
std::optional<std::string> swapIn(const fs::path& staged, const fs::path& bundle,
                                  const fs::path& aside) {
  std::error_code renamed;
  fs::rename(staged, aside, renamed);
  const bool across = renamed.value() == EXDEV;
  if (renamed && !across) return notPut(Platform::errorText(renamed.value()));
  int error = across ? Platform::copyTree(staged, aside) : 0;
  if (error == 0) error = Platform::renameAtomically(aside, bundle, Platform::Rename::exchange);
  if (error != 0) {
    if (across) {
      Settling::discard(aside);
    } else {
      fs::rename(aside, staged, renamed);
    }
    return notPut(Platform::errorText(error));
  }
  if (across) Settling::discard(staged);
  return std::nullopt;
}

}  // namespace

Relaunch::Relaunch(std::optional<Platform::Answering> child, fs::path bundle, fs::path aside,
                   fs::path staged, Platform::FolderLock lock)
    : child_(std::move(child)),
      bundle_(std::move(bundle)),
      aside_(std::move(aside)),
      staged_(std::move(staged)),
      lock_(std::move(lock)),
      deadline_(std::chrono::steady_clock::now() + patience()) {}

Relaunch::State Relaunch::look() {
  if (settled_) return State::failed;
  const auto word = child_ ? child_->word() : Platform::Answering::Word::ended;
  if (word == Platform::Answering::Word::up) return State::up;
  if (word == Platform::Answering::Word::ended) return State::failed;
  return std::chrono::steady_clock::now() < deadline_ ? State::waiting : State::failed;
}

void Relaunch::keep() {
  if (std::exchange(settled_, true)) return;
  if (child_) child_->letGo();
  Settling::discard(aside_);
}

void Relaunch::reverse() {
  if (std::exchange(settled_, true)) return;
  // Stopped first: a new version that answers late must not run on beside the old one.
  if (child_) child_->stop();
  if (Platform::renameAtomically(aside_, bundle_, Platform::Rename::exchange) != 0) return;
  std::error_code error;
  fs::rename(aside_, staged_, error);
  if (error) Settling::discard(aside_);
}

Installing install(const fs::path& staged) {
  // A setup keeps this copy from quitting: the new version would run beside it.
  if (Installer::running) return NotInstalled{settingUp};
  auto bundle = Platform::mainBundle();
  if (!bundle || !Platform::isWritable(bundle->location.parent_path())) {
    return NotInstalled{cannotUpdateHere};
  }

  // The staged copy may have waited a long while; only a copy still signed like us goes in.
  if (!Platform::existsNoFollow(staged)) return NotInstalled{notPut(Platform::errorText(ENOENT))};
  if (!CodeSign::signedLikeUs(staged)) return NotInstalled{notPut(changedSince)};

  const fs::path folder = bundle->location.parent_path();
  auto lock = Settling::clearLeftovers(folder, std::chrono::system_clock::now());
  const fs::path aside = folder / (std::string(Settling::temporaryPrefix) + Platform::uuid());
  if (auto problem = swapIn(staged, bundle->location, aside)) return NotInstalled{*problem};

  // Started from "/" like any application, with no arguments.
  std::optional<Platform::Answering> child;
  if (auto program = Settling::program(bundle->location)) {
    auto started = Platform::launchAnswering({program->string(), {}, "/"},
                                             {{Platform::newInstanceVariable, "1"}});
    if (auto* answering = std::get_if<Platform::Answering>(&started)) {
      child.emplace(std::move(*answering));
    }
  }
  return std::make_unique<Relaunch>(std::move(child), bundle->location, aside, staged,
                                    std::move(lock));
}

}  // namespace AppUpdate
