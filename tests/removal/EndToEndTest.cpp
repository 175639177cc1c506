// The reference payload's uninstaller, run by the menu and by quendrelctl: the desk and the
// application go, the user's presets and projects stay on the Desktop.
#include <gtest/gtest.h>

#include "Removal.h"
#include "app/Manager.h"
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

class EndToEnd : public Removal {
 protected:
  void SetUp() override {
    if (!fs::exists(reference)) GTEST_SKIP() << "no reference payload";
    // The desk's agent is a stand-in that stops at once: the uninstaller's work is what counts.
    layDeskDown();
    write(Paths::install() / "uninstall.sh", read(reference), 0755);
    write(Paths::install() / "presets/Sunday.json", "{\"faders\": [1, 2]}");
    write(Paths::install() / "presets/.access", "secret\n");
    write(Paths::install() / "projects/Easter/take.wav", "RIFF");
    write(home / "Library/LaunchAgents/com.quendrel.desk.plist", "<plist/>");
  }

  // The user's work, as found on the Desktop afterwards.
  void expectWorkKept() {
    const fs::path mixes = home / "Desktop/Quendrel — your mixes";
    EXPECT_EQ(read(mixes / "presets/Sunday.json"), "{\"faders\": [1, 2]}");
    EXPECT_EQ(read(mixes / "presets/.access"), "secret\n");
    EXPECT_EQ(read(mixes / "projects/Easter/take.wav"), "RIFF");
    EXPECT_FALSE(fs::exists(Paths::movedInstall()));
    EXPECT_FALSE(fs::exists(home / "Library/LaunchAgents/com.quendrel.desk.plist"));
  }
};

}  // namespace

TEST_F(EndToEnd, TheMenuRemovesTheDeskAndTheApplication) {
  write(app / "Contents/Resources/payload/uninstall.sh", read(reference), 0755);
  ScriptedUi ui;
  Manager manager(ui, {});
  manager.carryOn();
  ui.answers = {Platform::firstButton};
  ui.item->choose(Manager::uninstallLine);

  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].message, "Quendrel has been removed.");
  const std::string text = ui.alerts[1].informative;
  EXPECT_NE(text.find("✓ Stopped the console"), std::string::npos) << text;
  EXPECT_NE(text.find("✓ Removed Quendrel.app from " + (home / "Applications").string()),
            std::string::npos)
      << text;
  for (const auto& line : Text::nonEmptyLines(text)) EXPECT_EQ(line.rfind("✓", 0), 0u) << line;
  EXPECT_FALSE(fs::exists(app));
  expectWorkKept();
  EXPECT_TRUE(manager.terminated());
}

TEST_F(EndToEnd, QuendrelctlUninstalls) {
  auto ran = Platform::run({QUENDRELCTL, {"uninstall", "--app", app.string()}, ""},
                           Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->status, 0) << exited->output;
  EXPECT_EQ(exited->output.rfind("Quendrel has been removed.\n✓ Stopped the console\n", 0), 0u)
      << exited->output;
  EXPECT_FALSE(fs::exists(app));
  expectWorkKept();

  // With the desk went its installed uninstaller, and quendrelctl has no bundle to take one
  // from.
  ran = Platform::run({QUENDRELCTL, {"uninstall"}, ""}, Platform::Output::pipe);
  exited = std::get_if<Platform::Exited>(&ran);
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->status, 1);
  EXPECT_EQ(exited->output,
            "This copy of Quendrel cannot uninstall itself.\nDrag Quendrel to the Trash, and "
            "then this folder:\n\n" +
                Paths::install().string() + "\n");
}

TEST_F(EndToEnd, QuendrelctlReportsAFailure) {
  write(Paths::install() / "uninstall.sh",
        "echo first\necho second\necho third\necho fourth\nexit 4\n");
  auto ran = Platform::run({QUENDRELCTL, {"uninstall"}, ""}, Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->status, 1);
  EXPECT_EQ(exited->output, "Quendrel was not fully removed.\nsecond\nthird\nfourth\n");
}
