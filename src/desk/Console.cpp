// The console in the browser, and its passphrase.
#include "app/Manager.h"
#include "desk/Agent.h"

void Manager::openConsole() { ui_.open(Agent::consoleAddress()); }

void Manager::showPassphrase() {
  if (auto passphrase = Agent::passphrase()) {
    return present(*passphrase, "Console passphrase", false);
  }
  platform::Alert none;
  none.message = "There is no passphrase yet.";
  none.informative =
      "One is made the first time the console runs. If the console has never started, set this "
      "Mac up first.";
  ui_.run(none);
}

void Manager::present(const std::string& passphrase, const std::string& title,
                      bool offerRestart) {
  platform::Alert alert;
  alert.message = title;
  alert.informative = passphrase + "\n\nAnyone on this network who has " + "it can move your faders.";
  if (offerRestart) {
    alert.buttons = {"Copy", "Restart the desk", "Later"};
    alert.escapeKey = 2;
  } else {
    alert.buttons = {"Copy", "Done"};
    alert.escapeKey = 1;
  }
  int answer = ui_.run(alert);
  if (answer == platform::firstButton) {
    ui_.copy(passphrase);
  } else if (offerRestart && answer == platform::firstButton + 1) {
    restartDesk();
  }
}

void Manager::changePassphrase() {
  platform::Alert confirm;
  confirm.style = platform::AlertStyle::warning;
  confirm.message = "Change the passphrase?";
  confirm.informative =
      "A new one is made for you — three words, so it can be said across a room.\n\nIt takes "
      "effect when the desk restarts. Anyone using the console now keeps working until they "
      "reload, and will need the new one after that.";
  confirm.buttons = {"Change it", "Cancel"};
  confirm.returnKey = 1;
  confirm.escapeKey = 1;
  if (ui_.run(confirm) != platform::firstButton) return;

  auto outcome = Agent::changePassphrase();
  if (auto* changed = std::get_if<Agent::Changed>(&outcome)) {
    return present(changed->passphrase, "New console passphrase", true);
  }
  platform::Alert failed;
  failed.style = platform::AlertStyle::warning;
  failed.message = "The passphrase was not changed.";
  failed.informative = std::get<Agent::NotChanged>(outcome).detail;
  ui_.run(failed);
}
