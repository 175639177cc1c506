#include "desk/DeskActions.h"

#include <chrono>
#include <filesystem>
#include <variant>

#include "desk/Agent.h"
#include "desk/Desk.h"
#include "desk/Paths.h"
#include "platform/Computer.h"
#include "platform/Files.h"
#include "platform/Queue.h"

namespace fs = std::filesystem;

namespace {

// The desk's own updater holds this lock while it works; an hour-old lock is left over.
bool updateLockFresh() {
  auto touched = Platform::modified(Platform::home() / ".tarvic-update.lock");
  if (!touched) return false;
  return std::chrono::system_clock::now() - *touched < std::chrono::seconds(3600);
}

}  // namespace

void DeskActions::startConsoleIfStopped() {
  std::error_code error;
  if (!Agent::installed() || !fs::exists(Paths::plist(Paths::label()), error) ||
      fs::exists(Paths::settingUp(), error) || host_.settingUp() || updateLockFresh()) {
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  Platform::inBackground(Platform::Qos::utility, [this, alive] {
    if (Desk::busy().kind != Desk::Busy::Kind::notRunning) return;
    Agent::start();
    Platform::onMain([this, alive] {
      if (alive.expired()) return;
      host_.lookAgain();
    });
  });
}

void DeskActions::restartDesk() {
  if (Agent::installed()) Agent::restart();
}

void DeskActions::openConsole() {
  ui_.open(Agent::consoleAddress());
}

void DeskActions::showPassphrase() {
  if (auto passphrase = Agent::passphrase()) {
    return present(*passphrase, "Console passphrase", false);
  }
  ui_.run(Platform::Alert::informational(
      "There is no passphrase yet.",
      std::string("One is made the first time the console runs. If the console has never started, "
                  "set this ") +
          Platform::computer + " up first."));
}

void DeskActions::present(const std::string& passphrase, const std::string& title,
                          bool offerRestart) {
  Platform::Alert alert;
  alert.message = title;
  alert.informative =
      passphrase + "\n\nAnyone on this network who has " + "it can move your faders.";
  if (offerRestart) {
    alert.buttons = {"Copy", "Restart the desk", "Later"};
    alert.escapeKey = 2;
  } else {
    alert.buttons = {"Copy", "Done"};
    alert.escapeKey = 1;
  }
  int answer = ui_.run(alert);
  if (answer == Platform::firstButton) {
    ui_.copy(passphrase);
  } else if (offerRestart && answer == Platform::firstButton + 1) {
    restartDesk();
  }
}

void DeskActions::changePassphrase() {
  auto confirm = Platform::Alert::confirmation(
      "Change the passphrase?",
      "A new one is made for you — three words, so it can be said across a room.\n\nIt takes "
      "effect when the desk restarts. Anyone using the console now keeps working until they "
      "reload, and will need the new one after that.",
      "Change it", "Cancel");
  if (ui_.run(confirm) != Platform::firstButton) return;

  auto outcome = Agent::changePassphrase();
  if (auto* changed = std::get_if<Agent::Changed>(&outcome)) {
    return present(changed->passphrase, "New console passphrase", true);
  }
  ui_.run(Platform::Alert::warning("The passphrase was not changed.",
                                   std::get<Agent::NotChanged>(outcome).detail));
}
