// The console in the browser, and its passphrase.
#include "app/Manager.h"
#include "desk/Paths.h"
#include "platform/files.h"
#include "platform/process.h"
#include "text/Text.h"

namespace {

std::optional<std::string> readPassphrase() {
  auto bytes = platform::readFile(Paths::install() / "presets/.access");
  if (!bytes || !text::isUtf8(*bytes)) return std::nullopt;
  return text::trim(*bytes);
}

}  // namespace

void Manager::openConsole() { ui_.open("http://localhost:" + std::to_string(Paths::port())); }

void Manager::showPassphrase() {
  if (auto passphrase = readPassphrase(); passphrase && !passphrase->empty()) {
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

  auto ran = platform::run({"/bin/bash",
                            {(Paths::install() / "agent.sh").string(), "set-passphrase"},
                            Paths::install().string()},
                           platform::Output::pipe);
  std::string detail;
  if (auto* exited = std::get_if<platform::Exited>(&ran)) {
    if (exited->status == 0) {
      if (auto passphrase = readPassphrase()) {
        return present(*passphrase, "New console passphrase", true);
      }
    }
    detail = text::lastJoined(text::nonEmptyLines(text::utf8OrEmpty(exited->output)), 2, "\n");
  }
  platform::Alert failed;
  failed.style = platform::AlertStyle::warning;
  failed.message = "The passphrase was not changed.";
  failed.informative = detail;
  ui_.run(failed);
}
