#include "app/Manager.h"

#include <algorithm>
#include <cmath>

#include "desk/Agent.h"
#include "desk/Desk.h"
#include "placement/Desktop.h"
#include "platform/App.h"
#include "platform/Bundle.h"
#include "platform/Computer.h"
#include "setup/Installer.h"
#include "text/Text.h"

namespace {

constexpr double tickSeconds = 5.0;
// Work that can wait until the knob shows: the update check (whose libcurl and TLS libraries
// take a while to load) and the desktop entry (whose icons load the toolkit's image writers).
constexpr double afterTheKnobSeconds = 1.0;
constexpr const char* handedOverLine =
    "Quendrel is in your Applications folder, and runs from there.";

}  // namespace

Manager::Manager(Platform::Ui& ui, std::vector<std::string> arguments)
    : ui_(ui),
      arguments_(std::move(arguments)),
      setup_(ui),
      desk_(ui, *this),
      moves_(ui, *this, arguments_),
      update_(ui, *this, updateLine),
      removal_(ui, *this) {}

Manager::~Manager() {
  *alive_ = false;
}

bool Manager::given(std::string_view flag) const {
  return std::find(arguments_.begin(), arguments_.end(), flag) != arguments_.end();
}

void Manager::applicationDidFinishLaunching() {
  // A copy that moves itself, hands over to another or takes its current name stops here.
  if (moves_.offerToMove() || moves_.leaveItToAnother() || moves_.takeCurrentName()) return;
  moves_.putAwayWhereItCameFrom();
  carryOn();
}

void Manager::carryOn() {
  std::vector<Platform::MenuLine> menu(12);
  menu[stateLine] = {"Checking…", false, false, {}, {}};
  menu[1].separator = true;
  menu[setupLine] = {std::string("Set up this ") + Platform::computer + "…",
                     false,
                     true,
                     [this] { showSetup(); },
                     {}};
  menu[consoleLine] = {"Open the console", false, true, [this] { desk_.openConsole(); }, {}};
  menu[updateLine] = {"Quendrel is up to date", false, false, {}, {}};
  menu[5].separator = true;
  menu[showPassphraseLine] = {
      "Show the passphrase", false, true, [this] { desk_.showPassphrase(); }, {}};
  menu[changePassphraseLine] = {
      "Change the passphrase…", false, true, [this] { desk_.changePassphrase(); }, {}};
  menu[restartLine] = {"Restart the desk", false, true, [this] { desk_.restartDesk(); }, {}};
  menu[9].separator = true;
  menu[uninstallLine] = {"Uninstall Quendrel…", false, true, [this] { removal_.uninstall(); }, {}};
  menu[quitLine] = {"Quit Quendrel", false, true, [this] { quitApp(); }, "q"};
  item_ = ui_.makeStatusItem(menuBarIcon(), "Quendrel", std::move(menu));
  // The knob shows: a copy that relaunched into this one may go now.
  Platform::announceUp();
  Platform::after(afterTheKnobSeconds, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    introduceToDesktop();
    update_.lookForNewApp();
  });

  removal_.watch();
  removal_.lookWhereIAm();
  refresh();
  desk_.startConsoleIfStopped();
  if (given("--handed-over")) {
    showWayIn(handedOverLine);
  } else if (!ui_.hasMenuBar()) {
    // With no menu bar to stand in, the way-in alert is the only way to Quendrel.
    showWayIn(std::nullopt);
  }
  timer_ = std::make_unique<Platform::Repeating>(tickSeconds, [this] { lookAgain(); });
}

void Manager::introduceToDesktop() {
  auto bundle = Platform::mainBundle();
  if (!bundle) return;
  Desktop::introduce(bundle->location, [](int pixels, const std::filesystem::path& file) {
    return Platform::writePng(menuBarIcon(), pixels, file);
  });
}

void Manager::applicationShouldHandleReopen() {
  showWayIn(std::nullopt);
}

void Manager::refresh() {
  std::weak_ptr<bool> alive = alive_;
  Desk::look([this, alive](DeskState answer) {
    Platform::onMain([this, alive, answer] {
      if (alive.expired()) return;
      state_ = answer;
      if (item_) item_->setTitle(stateLine, settingUp() ? "Setting up…" : answer.menuText());
      if (answer.needsSetup() && !settingUp() && !offeredSetup_) {
        offeredSetup_ = true;
        showSetup();
      }
    });
  });
}

void Manager::showSetup() {
  // After a successful setup.
  setup_.show([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    lookAgain();
  });
}

bool Manager::settingUp() const {
  return Installer::running;
}

void Manager::lookAgain() {
  removal_.lookWhereIAm();
  refresh();
}

void Manager::showWayIn(std::optional<std::string> first) {
  std::weak_ptr<bool> alive = alive_;
  Desk::look([this, alive, first](DeskState answer) {
    Platform::onMain([this, alive, first, answer] {
      if (alive.expired()) return;
      if (answer.needsSetup()) return showSetup();
      std::string informative = first ? *first + "\n\n" : "";
      informative += answer.menuText();
      informative +=
          "\n\nQuendrel lives in the menu bar. If you cannot see it "
          "there, there is no room for it — the buttons below do what "
          "its menu is mostly used for.";
      Platform::Alert alert;
      alert.message = "Quendrel";
      alert.informative = informative;
      alert.buttons = {"Open the console", "Show the passphrase", "Done", "Uninstall Quendrel…",
                       "Quit Quendrel"};
      alert.returnKey = 0;
      alert.escapeKey = 2;
      switch (ui_.run(alert) - Platform::firstButton) {
        case 0:
          desk_.openConsole();
          break;
        case 1:
          desk_.showPassphrase();
          break;
        case 3:
          removal_.uninstall();
          break;
        case 4:
          quitApp();
          break;
        default:
          break;
      }
    });
  });
}

Platform::Drawing Manager::menuBarIcon() {
  using namespace Platform;
  const double s = 18;
  const double c = s * 0.5, r = s * 0.4, w = s * 0.075, k = r * 0.6;
  const double d = std::max(w, 1.1), h = s * 0.028;
  const double rad = M_PI / 180;
  const Point centre{c, c};
  const Point level{c + r * std::cos(31 * rad), c + r * std::sin(31 * rad)};
  Drawing knob;
  knob.side = s;
  knob.steps = {
      Arc{centre, r, 31, -35, true, w, 0.32},
      Arc{centre, r, 215, 31, true, w, 1.0},
      Disc{centre, k},
      Save{},
      Erase{},
      Platform::Line{{c + 0.3 * k * std::cos(30 * rad), c + 0.3 * k * std::sin(30 * rad)},
                     {c + 0.86 * k * std::cos(30 * rad), c + 0.86 * k * std::sin(30 * rad)},
                     std::max(w, 1.3)},
      Restore{},
      Save{},
      Erase{},
      Disc{level, d + h},
      Restore{},
      Disc{level, d},
  };
  return knob;
}

void Manager::quitApp() {
  if (settingUp() || !Agent::installed()) return terminate();

  Desk::Busy busy = Desk::busy();
  if (busy.kind == Desk::Busy::Kind::busy || busy.kind == Desk::Busy::Kind::unknown) {
    std::string reason = busy.kind == Desk::Busy::Kind::unknown
                             ? "it is running, and could not say whether anybody is using it"
                         : busy.why.empty() ? "somebody is using it"
                                            : busy.why;
    auto alert = Platform::Alert::confirmation("Quendrel's console is in use",
                                               Text::capitalised(reason) + ".\n\n" +
                                                   "Quitting stops the console for everybody "
                                                   "using it. It starts again when Quendrel is "
                                                   "opened.",
                                               "Quit Anyway", "Cancel");
    if (ui_.run(alert) != Platform::firstButton) return;
  }

  if (Agent::stop()) return terminate();
  ui_.run(Platform::Alert::informational(
      "Quendrel's console did not stop",
      "It is still running. Quendrel stays open so that you can try again."));
}

bool Manager::applicationShouldTerminate() {
  if (!settingUp()) return true;
  ui_.run(Platform::Alert::informational(
      std::string("Quendrel is setting this ") + Platform::computer + " up",
      "Quitting now would leave it half done. It takes a few minutes — quit once it says it has "
      "finished."));
  return false;
}

void Manager::terminate() {
  if (!applicationShouldTerminate()) return;
  terminated_ = true;
  Platform::EventLoop::quit(0);
}
