// The reference payload's uninstaller, run by the menu and by quendrelctl: the desk and the
// application go, the user's presets and projects stay on the Desktop.
#include <gtest/gtest.h>

#include "Removal.h"
#include "app/Manager.h"
#include "placement/Desktop.h"
#include "platform/Process.h"
#include "support/ScriptedUi.h"
#include "text/Text.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::ScriptedUi;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

const fs::path reference = fs::path(SOURCE_ROOT) / "devkit/payload/uninstall.sh";

// The desk's agent is a stand-in that stops at once: the uninstaller's work is what counts,
// and what it keeps and removes is the devkit's own tests' business.
class EndToEnd : public Removal {
 protected:
  void SetUp() override {
    layDeskDown();
    write(Paths::install() / "uninstall.sh", read(reference), 0755);
    write(Paths::install() / "presets/Sunday.json", "{}");
  }
  // The desktop entry and an icon, as a copy in an Applications folder leaves them.
  void introduced() {
    write(Desktop::entry(), Desktop::entryText(app, app / "Contents/MacOS/Quendrel"));
    write(Desktop::icon(48), "knob");
  }
  bool forgotten() { return !fs::exists(Desktop::entry()) && !fs::exists(Desktop::icon(48)); }
  Platform::Exited ctl(const std::vector<std::string>& args) {
    auto ran = Platform::run({QUENDRELCTL, args, ""}, Platform::Output::pipe);
    return std::get<Platform::Exited>(ran);
  }
};

}  // namespace

TEST_F(EndToEnd, TheMenuRemovesTheDeskAndTheApplication) {
  write(app / "Contents/Resources/payload/uninstall.sh", read(reference), 0755);
  ScriptedUi ui;
  Manager manager(ui, {});
  manager.carryOn();
  introduced();
  ui.answers = {Platform::firstButton};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 2u);
  const std::string text = ui.alerts[1].informative;
  EXPECT_NE(text.find("✓ Removed Quendrel.app from " + (home / "Applications").string()),
            std::string::npos)
      << text;
  for (const auto& line : Text::nonEmptyLines(text)) EXPECT_EQ(line.rfind("✓", 0), 0u) << line;
  EXPECT_FALSE(fs::exists(app));
  EXPECT_TRUE(forgotten());
  EXPECT_FALSE(fs::exists(Paths::movedInstall()));
  EXPECT_TRUE(fs::exists(home / "Desktop/Quendrel — your mixes/presets/Sunday.json"));
  EXPECT_TRUE(manager.terminated());
}

TEST_F(EndToEnd, QuendrelctlUninstallsAndSaysWhenItCannot) {
  introduced();
  auto ran = ctl({"uninstall", "--app", app.string()});
  EXPECT_EQ(ran.status, 0) << ran.output;
  EXPECT_TRUE(forgotten()) << "the desktop entry goes with the application";
  EXPECT_EQ(ran.output.rfind("Quendrel has been removed.\n✓ Stopped the console\n", 0), 0u)
      << ran.output;
  EXPECT_FALSE(fs::exists(app));

  // With the desk went its installed uninstaller, and quendrelctl has no bundle to take one
  // from.
  ran = ctl({"uninstall"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.output.rfind("This copy of Quendrel cannot uninstall itself.\n", 0), 0u);

  write(Paths::install() / "uninstall.sh",
        "echo first\necho second\necho third\necho fourth\nexit 4\n");
  ran = ctl({"uninstall"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.output, "Quendrel was not fully removed.\nsecond\nthird\nfourth\n");
}
