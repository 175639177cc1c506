#pragma once
// A temporary home with Quendrel in its Applications folder (its uninstaller notes its
// arguments), an event loop, and Quendrel launched over a desk recorded as its own, for the
// removal tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "platform/Queue.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"

namespace fs = std::filesystem;
using testing_support::read;
using testing_support::write;

namespace removal_testing {

// An uninstaller that notes its arguments, one a line, in ~/uninstaller-args and says what a
// real one says; it removes the bundle it is given, as the real one does.
inline constexpr const char* notingUninstaller = R"sh(#!/bin/bash
printf '%s\n' "$@" > "$HOME/uninstaller-args"
echo "Stopping"
echo "✓ Stopped the console"
if [[ "${1:-}" == --app ]]; then rm -rf -- "$2"; echo "✓ Removed $(basename "$2")"; fi
)sh";

class Removal : public ::testing::Test {
 public:
  Removal() {
    unsetenv("XDG_DATA_HOME");
    // The first refresh probes the desk's port: nothing must answer there.
    setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
    testing_support::makeBundle(app, "com.quendrel.manager", "1.0", "1");
    write(app / "Contents/Resources/payload/uninstall.sh", notingUninstaller, 0755);
    testing_support::pretendMainBundle(app);
  }

  // Lays the desk down (recorded as Quendrel's, when asked) and starts Quendrel as a launch
  // does, the menu and the bundle watch included.
  Manager& launch(bool recorded = true) {
    write(Paths::movedInstall() / "agent.sh", "#!/bin/bash\nexit 0\n", 0755);
    if (recorded) write(note(), app.string() + "\n");
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
    return *manager;
  }

  // Waits for this many alerts in all; their messages.
  bool shown(std::size_t count) {
    return testing_support::spinUntil([&] { return ui.alerts.size() >= count; });
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> said;
    for (const auto& alert : ui.alerts) said.push_back(alert.message);
    return said;
  }
  // Lets the watch's events arrive, then looks as the next tick would.
  void tick() {
    testing_support::spinUntil([] { return false; }, 0.3);
    manager->removal().lookWhereIAm();
  }

  fs::path note() const { return Paths::install() / "data/installed-by-app"; }
  fs::path trash() const { return home / ".local/share/Trash/files"; }

  // Moves the bundle as a file manager does: one rename, making the folders on the way.
  static void move(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::rename(from, to);
  }

  testing_support::Home home;
  int argc = 1;
  char name[14] = "removal_tests";
  char* argv[2] = {name, nullptr};
  Platform::EventLoop loop{argc, argv};
  fs::path app = home / "Applications/Quendrel.app";
  testing_support::ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace removal_testing
