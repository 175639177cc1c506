// quendrelctl: the menu's questions and actions for whoever looks after the computer
// over a terminal. It runs the same code and the same event loop as the menu.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "desk/Agent.h"
#include "desk/Desk.h"
#include "placement/Desktop.h"
#include "placement/Identity.h"
#include "platform/Computer.h"
#include "platform/Process.h"
#include "platform/Queue.h"
#include "removal/Uninstaller.h"
#include "setup/Installer.h"
#include "update/AppUpdate.h"

namespace {

constexpr const char* usage =
    "usage: quendrelctl COMMAND\n"
    "  status               the desk's state, as the menu shows it\n"
    "  in-use               whether anybody uses the console\n"
    "  about BUNDLE         identifier, version and build of an application bundle\n"
    "  uninstall [--app PATH]\n"
    "                       remove the desk (and the application at PATH) as the menu does;\n"
    "                       presets and projects go to the Desktop\n"
    "  check-update         whether the service offers a newer Quendrel\n"
    "  update               fetch, check and stage a newer Quendrel, printing the menu's update\n"
    "                       line as it changes; the running Quendrel is left as it is\n"
    "  setup CODE --terms VERSION\n"
    "                       set this computer up from the payload in quendrelctl's bundle,\n"
    "                       with a six-digit pairing code and the terms version agreed to\n"
    "  passphrase           the console's passphrase\n"
    "  change-passphrase    have the desk make a new passphrase, and print it\n"
    "  restart              restart the desk\n"
    "  open                 open the console in the browser\n";

void say(const std::string& line) {
  std::cout << line << '\n';
  std::cout.flush();
}

// Prints the line on the main thread and ends the loop with status 0.
void answer(std::string line) {
  Platform::onMain([line = std::move(line)] {
    say(line);
    Platform::EventLoop::quit(0);
  });
}

std::string inUseText(const Desk::Busy& busy) {
  switch (busy.kind) {
    case Desk::Busy::Kind::idle:
      return "idle";
    case Desk::Busy::Kind::notRunning:
      return "not running";
    case Desk::Busy::Kind::unknown:
      return "unknown";
    case Desk::Busy::Kind::busy:
      return busy.why.empty() ? "busy" : "busy: " + busy.why;
  }
  return "unknown";
}

void status() {
  Desk::look([](DeskState state) { answer(state.menuText()); });
}

void inUse() {
  Platform::inBackground(Platform::Qos::utility, [] { answer(inUseText(Desk::busy())); });
}

void about(const std::string& bundle) {
  say("identifier: " + Settling::identity(bundle).value_or(""));
  say("version: " + Settling::version(bundle));
  say("build: " + Settling::build(bundle));
  say(std::string("ours: ") + (Settling::isOurs(bundle) ? "yes" : "no"));
  say(std::string("running: ") + (Settling::isRunning(bundle) ? "yes" : "no"));
  Platform::EventLoop::quit(0);
}

void checkUpdate() {
  AppUpdate::check([](std::optional<AppUpdate::Published> entry) {
    if (!entry) return answer("up to date");
    answer("newer: " + entry->version() + " " + entry->sha256() + " " + entry->file());
  });
}

// Fetches and stages what the feed offers, as the menu does, and prints the update line as
// it changes. Ends 0 when up to date or staged, 1 with the problem otherwise; only once the
// preparation has detached its image.
void update() {
  AppUpdate::check([](std::optional<AppUpdate::Published> entry) {
    if (!entry) return answer(std::string(AppUpdate::Line::upToDate));
    const std::string version = entry->version();
    Platform::onMain([version] { say(AppUpdate::Line::getting(version)); });
    auto status = std::make_shared<int>(1);
    AppUpdate::prepare(
        *entry,
        [version, status](AppUpdate::Prepared prepared) {
          if (std::holds_alternative<AppUpdate::Staged>(prepared)) *status = 0;
          Platform::onMain([version, prepared = std::move(prepared)] {
            if (std::holds_alternative<AppUpdate::Staged>(prepared)) {
              say(AppUpdate::Line::ready(version));
            } else {
              say(AppUpdate::Line::failed(version));
              std::cerr << std::get<AppUpdate::Unprepared>(prepared).why << '\n';
            }
          });
        },
        [status] { Platform::onMain([status] { Platform::EventLoop::quit(*status); }); });
  });
}

bool sixDigits(const std::string& code) {
  return code.size() == 6 &&
         std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void setup(const std::string& code, const std::string& terms) {
  Installer::run(code, terms, [](bool ok, std::string message) {
    Platform::onMain([ok, message = std::move(message)] {
      if (ok) {
        say(std::string("Done. This ") + Platform::computer +
            " is connected and its desk is running.");
      } else {
        std::cerr << message << '\n';
      }
      Platform::EventLoop::quit(ok ? 0 : 1);
    });
  });
}

// Runs the desk's uninstaller as the menu's "Remove Quendrel" does and prints what the alert
// would say. 0 when everything was removed.
int uninstall(const std::optional<std::filesystem::path>& app) {
  auto outcome = Uninstaller::run(Uninstaller::bundled(), app);
  if (app && outcome && outcome->removed) Desktop::forget();
  auto report = Uninstaller::report(outcome);
  say(report.message);
  if (!report.informative.empty()) say(report.informative);
  return outcome && outcome->removed ? 0 : 1;
}

int passphrase() {
  say(Agent::passphrase().value_or("There is no passphrase yet."));
  return 0;
}

int changePassphrase() {
  auto outcome = Agent::changePassphrase();
  if (auto* changed = std::get_if<Agent::Changed>(&outcome)) {
    say(changed->passphrase);
    return 0;
  }
  say("The passphrase was not changed.");
  if (auto detail = std::get<Agent::NotChanged>(outcome).detail; !detail.empty()) say(detail);
  return 1;
}

int restart() {
  if (!Agent::installed()) {
    say("There is no desk to restart: this computer is not set up yet.");
    return 1;
  }
  if (auto why = Agent::restart()) {
    say("The desk could not be restarted: " + *why);
    return 1;
  }
  say("The desk is restarting.");
  return 0;
}

int open() {
  const std::string address = Agent::consoleAddress();
  say(address);
  // The browser is whichever the desktop prefers; without one the address above is the way.
  Platform::openInBrowser(address);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::function<void()> command;
  if (args.size() == 1 && args[0] == "status") {
    command = status;
  } else if (args.size() == 1 && args[0] == "in-use") {
    command = inUse;
  } else if (args.size() == 2 && args[0] == "about") {
    command = [bundle = args[1]] { about(bundle); };
  } else if (args.size() == 1 && args[0] == "check-update") {
    command = checkUpdate;
  } else if (args.size() == 1 && args[0] == "update") {
    command = update;
  } else if (!args.empty() && args[0] == "uninstall" &&
             (args.size() == 1 || (args.size() == 3 && args[1] == "--app"))) {
    std::optional<std::filesystem::path> app;
    if (args.size() == 3) app = args[2];
    command = [app] { Platform::EventLoop::quit(uninstall(app)); };
  } else if (args.size() == 1 && args[0] == "passphrase") {
    command = [] { Platform::EventLoop::quit(passphrase()); };
  } else if (args.size() == 1 && args[0] == "change-passphrase") {
    command = [] { Platform::EventLoop::quit(changePassphrase()); };
  } else if (args.size() == 1 && args[0] == "restart") {
    command = [] { Platform::EventLoop::quit(restart()); };
  } else if (args.size() == 1 && args[0] == "open") {
    command = [] { Platform::EventLoop::quit(open()); };
  } else if (args.size() == 4 && args[0] == "setup" && args[2] == "--terms") {
    if (!sixDigits(args[1])) {
      std::cerr << "The code must be six digits, like 123456.\n";
      return 2;
    }
    command = [code = args[1], terms = args[3]] { setup(code, terms); };
  } else {
    std::cerr << usage;
    return 2;
  }
  Platform::EventLoop loop(argc, argv);
  Platform::onMain(command);
  return loop.run();
}
