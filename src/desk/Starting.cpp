// Starting a stopped desk at launch, and restarting it on request.
#include <chrono>

#include "app/Manager.h"
#include "desk/Agent.h"
#include "desk/Desk.h"
#include "desk/Paths.h"
#include "platform/files.h"
#include "setup/Installer.h"

namespace fs = std::filesystem;

namespace {

// The desk's own updater holds this lock while it works; an hour-old lock is left over.
bool updateLockFresh() {
  auto touched = platform::modified(platform::home() / ".tarvic-update.lock");
  if (!touched) return false;
  return std::chrono::system_clock::now() - *touched < std::chrono::seconds(3600);
}

}  // namespace

void Manager::startConsoleIfStopped() {
  std::error_code error;
  if (!Agent::installed() ||
      !fs::exists(Paths::plist(Paths::label()), error) ||
      fs::exists(platform::home() / ".tarvic-setting-up", error) || Installer::running ||
      updateLockFresh()) {
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  platform::inBackground(platform::Qos::utility, [this, alive] {
    if (Desk::busy().kind != Desk::Busy::Kind::notRunning) return;
    Agent::start();
    platform::onMain([this, alive] {
      if (alive.expired()) return;
      lookWhereIAm();
      refresh();
    });
  });
}

void Manager::restartDesk() {
  if (Agent::installed()) Agent::restart();
}
