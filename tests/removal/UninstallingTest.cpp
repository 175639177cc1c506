// The removal flows as the user lives them: a real bundle moved about by a file manager, the
// watch's real events, a scripted user answering the questions.
#include <gtest/gtest.h>

#include "Removal.h"
#include "app/Manager.h"
#include "removal/Whereabouts.h"
#include "support/ScriptedUi.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

constexpr int removeButton = platform::firstButton;
constexpr int secondButton = platform::firstButton + 1;

class Uninstalling : public Removal {
 protected:
  // Starts Quendrel as it starts after launching, the menu and the bundle watch included.
  Manager& launch() {
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
    return *manager;
  }
  // Waits for the file system's word to reach Quendrel and for it to ask `count` questions.
  bool asked(std::size_t count) {
    return spinUntil([&] { return ui.alerts.size() >= count; });
  }
  std::string args() const { return read(home / "uninstaller-args"); }

  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(Uninstalling, TrashedAsksAndPutItBackMovesItBack) {
  layDeskDown();
  Manager& m = launch();
  EXPECT_TRUE(ui.alerts.empty());

  const fs::path trashed = trash() / "Quendrel.app";
  move(app, trashed);
  ASSERT_TRUE(asked(1));
  const auto& question = ui.alerts[0];
  EXPECT_EQ(question.style, platform::AlertStyle::warning);
  EXPECT_EQ(question.message, "Quendrel is in the Trash");
  EXPECT_EQ(question.informative,
            "Remove it from this Mac completely? The console stops and will not start again, "
            "and everything Quendrel installed is deleted.\n\nYour projects and presets are not "
            "deleted — they are put on the Desktop in a folder called \"Quendrel — your "
            "mixes\".\n\nIf it went in the Trash by mistake, put it back.");
  EXPECT_EQ(question.buttons, (std::vector<std::string>{"Remove Quendrel", "Put It Back"}));
  EXPECT_EQ(question.returnKey, 1u);
  EXPECT_EQ(question.escapeKey, 1u);

  // Return chose "Put It Back": the bundle is where it was, nothing was run.
  EXPECT_TRUE(fs::exists(app / "Contents/Info.plist"));
  EXPECT_FALSE(fs::exists(trashed));
  EXPECT_FALSE(fs::exists(home / "uninstaller-args"));
  EXPECT_FALSE(m.terminated());
  m.lookWhereIAm();  // as the next tick does
  EXPECT_EQ(ui.alerts.size(), 1u);

  // Back home, the question is fresh again.
  move(app, trashed);
  ASSERT_TRUE(asked(2));
  EXPECT_EQ(ui.alerts[1].message, "Quendrel is in the Trash");
  EXPECT_EQ(m.whereabouts().home(), app);
}

TEST_F(Uninstalling, TheSameTrashIsAskedAboutOnce) {
  layDeskDown();
  Manager& m = launch();
  // Leave the bundle in the Trash: the user's answer cannot put it back.
  ui.onAlert = [&](const platform::Alert&) { fs::remove_all(home / "Applications"); };
  const fs::path trashed = trash() / "Quendrel.app";
  move(app, trashed);
  ASSERT_TRUE(asked(1));
  ui.onAlert = nullptr;
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].message, "Quendrel could not be put back.");
  EXPECT_EQ(ui.alerts[1].informative,
            "Open the Trash and choose Put Back on Quendrel. Until then the console carries on "
            "as it is.");
  EXPECT_TRUE(ui.alerts[1].buttons.empty());
  EXPECT_TRUE(fs::exists(trashed));

  // Renamed about inside the Trash and back, and looked at on every tick: asked once.
  move(trashed, trash() / "Other.app");
  move(trash() / "Other.app", trashed);
  spinUntil([] { return false; }, 0.5);
  m.lookWhereIAm();
  m.lookWhereIAm();
  EXPECT_EQ(ui.alerts.size(), 2u);

  // Another place in the Trash is another question.
  move(trashed, trash() / "Quendrel 2.app");
  ASSERT_TRUE(asked(3));
  EXPECT_EQ(ui.alerts[2].message, "Quendrel is in the Trash");
  EXPECT_FALSE(m.terminated());
}

TEST_F(Uninstalling, RemoveFromTheTrashRunsTheUninstallerWithoutTheApplication) {
  layDeskDown();
  Manager& m = launch();
  ui.answers = {removeButton};
  move(app, home / ".Trash/Quendrel.app");
  ASSERT_TRUE(asked(2));
  EXPECT_EQ(args(), "\n") << "no arguments";
  EXPECT_EQ(ui.alerts[1].message, "Quendrel has been removed.");
  EXPECT_EQ(ui.alerts[1].informative, "✓ Stopped the console");
  EXPECT_EQ(ui.alerts[1].style, platform::AlertStyle::informational);
  EXPECT_TRUE(m.terminated());
  EXPECT_TRUE(fs::exists(home / ".Trash/Quendrel.app")) << "the Trash is the user's to empty";
}

TEST_F(Uninstalling, DeletedFromTheTrashAsksAgain) {
  layDeskDown();
  Manager& m = launch();
  const fs::path trashed = trash() / "Quendrel.app";
  // The Trash is emptied while the question is up.
  ui.onAlert = [&](const platform::Alert&) { fs::remove_all(trashed); };
  move(app, trashed);
  ASSERT_TRUE(asked(1));
  ui.onAlert = nullptr;
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].message, "Quendrel could not be put back.");

  ui.answers = {platform::firstButton + 1};  // "Later"
  m.lookWhereIAm();
  ASSERT_EQ(ui.alerts.size(), 3u);
  const auto& question = ui.alerts[2];
  EXPECT_EQ(question.style, platform::AlertStyle::warning);
  EXPECT_EQ(question.message, "Quendrel has been deleted");
  EXPECT_EQ(question.informative,
            "Its console is still running on this Mac. Remove that too? Your projects and "
            "presets are not deleted — they are put on the Desktop in a folder called "
            "\"Quendrel — your mixes\".\n\nIf you leave it and Quendrel was emptied from the "
            "Trash, the console removes itself once nobody is using it, and that folder is put "
            "in your home folder instead. Deleted any other way, the console stays; to remove it "
            "later, download Quendrel again and choose Uninstall Quendrel… from its menu.");
  EXPECT_EQ(question.buttons, (std::vector<std::string>{"Remove It Now", "Later"}));
  EXPECT_EQ(question.returnKey, 1u);
  EXPECT_EQ(question.escapeKey, 1u);
  EXPECT_TRUE(m.terminated()) << "Later leaves the desk running and Quendrel quits";
  EXPECT_FALSE(fs::exists(home / "uninstaller-args"));
  EXPECT_TRUE(fs::exists(Paths::install() / "agent.sh"));
}

TEST_F(Uninstalling, DeletionIsNoticedByTheNextTickAtTheLatest) {
  layDeskDown();
  launch();
  ui.answers = {removeButton};  // "Remove It Now"
  fs::remove_all(app);
  // The system says nothing while the bundle is held open; the five-second tick finds it.
  ASSERT_TRUE(asked(2));
  EXPECT_EQ(ui.alerts[0].message, "Quendrel has been deleted");
  EXPECT_EQ(ui.alerts[1].message, "Quendrel has been removed.");
  EXPECT_EQ(args(), "\n") << "the script, read at start, still runs, without an application";
  EXPECT_TRUE(manager->terminated());
}

TEST_F(Uninstalling, MovedOutsideTheTrashIsFollowedWithoutAQuestion) {
  layDeskDown();
  Manager& m = launch();
  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  move(app, audio);
  ASSERT_TRUE(spinUntil([&] { return m.whereabouts().home() == audio; }));
  EXPECT_EQ(read(note()), audio.string() + "\n") << "the record follows into Applications";

  const fs::path desktop = home / "Desktop/Quendrel.app";
  move(audio, desktop);
  ASSERT_TRUE(spinUntil([&] { return m.whereabouts().home() == desktop; }));
  EXPECT_EQ(read(note()), audio.string() + "\n") << "not recorded outside Applications";
  m.lookWhereIAm();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_FALSE(m.terminated());
}

TEST_F(Uninstalling, TrashedWithoutADeskEndsQuendrelWithoutAQuestion) {
  Manager& m = launch();
  move(app, trash() / "Quendrel.app");
  ASSERT_TRUE(spinUntil([&] { return m.terminated(); }));
  EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(Uninstalling, ADeskQuendrelDidNotInstallIsLeftAlone) {
  layDeskDown(false);
  Manager& m = launch();
  move(app, trash() / "Quendrel.app");
  spinUntil([] { return false; }, 0.5);
  m.lookWhereIAm();
  fs::remove_all(trash());
  m.lookWhereIAm();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_FALSE(m.terminated());
}

TEST_F(Uninstalling, FromTheMenuTheApplicationGoesToo) {
  layDeskDown();
  launch();
  ASSERT_TRUE(ui.item);
  EXPECT_EQ(ui.item->title(Manager::uninstallLine), "Uninstall Quendrel…");

  ui.answers = {ScriptedUi::escapeKey};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 1u);
  const auto& question = ui.alerts[0];
  EXPECT_EQ(question.style, platform::AlertStyle::warning);
  EXPECT_EQ(question.message, "Remove Quendrel from this Mac?");
  EXPECT_EQ(question.informative,
            "The console will stop and will not start again. Quendrel and everything it installed "
            "are removed.\n\nYour projects and presets are not deleted — they are put on the "
            "Desktop in a folder called \"Quendrel — your mixes\".\n\nIf this Mac broadcasts a "
            "service, it will not be able to until Quendrel is installed again.");
  EXPECT_EQ(question.buttons, (std::vector<std::string>{"Remove Quendrel", "Cancel"}));
  EXPECT_EQ(question.returnKey, 1u);
  EXPECT_EQ(question.escapeKey, 1u);
  EXPECT_FALSE(fs::exists(home / "uninstaller-args")) << "Cancel runs nothing";

  ui.answers = {removeButton};
  // While the report is up, the bundle is already gone: nothing else must be asked or ended.
  ui.onAlert = [&](const platform::Alert& alert) {
    if (alert.message == "Quendrel has been removed.") {
      manager->lookWhereIAm();
      EXPECT_FALSE(manager->terminated());
    }
  };
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 3u);
  EXPECT_EQ(args(), "--app\n" + app.string() + "\n");
  EXPECT_EQ(ui.alerts[2].message, "Quendrel has been removed.");
  EXPECT_EQ(ui.alerts[2].informative, "✓ Stopped the console\n✓ Removed Quendrel.app");
  EXPECT_FALSE(fs::exists(app));
  EXPECT_TRUE(manager->terminated());
}

TEST_F(Uninstalling, TheWayInOffersToUninstall) {
  layDeskDown();
  launch();
  ui.answers = {platform::firstButton + 3, ScriptedUi::returnKey};  // then "Cancel"
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(asked(2));
  EXPECT_EQ(ui.alerts[1].message, "Remove Quendrel from this Mac?");
}

TEST_F(Uninstalling, AFailedRunIsReportedAndStillEnds) {
  layDeskDown();
  write(app / "Contents/Resources/payload/uninstall.sh",
        "printf '\\e[31mone\\e[0m\\ntwo\\nthree\\nfour\\n'\nexit 1\n");
  launch();
  ui.answers = {removeButton};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].message, "Quendrel was not fully removed.");
  EXPECT_EQ(ui.alerts[1].informative, "two\nthree\nfour");
  EXPECT_EQ(ui.alerts[1].style, platform::AlertStyle::warning);
  EXPECT_TRUE(manager->terminated());
}

TEST_F(Uninstalling, WithoutAnyUninstallerQuendrelSaysSoAndStays) {
  layDeskDown();
  fs::remove(app / "Contents/Resources/payload/uninstall.sh");
  launch();
  ui.answers = {removeButton};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].message, "This copy of Quendrel cannot uninstall itself.");
  EXPECT_EQ(ui.alerts[1].informative,
            "Drag Quendrel to the Trash, and then this folder:\n\n" + Paths::install().string());
  EXPECT_FALSE(manager->terminated());
}

TEST_F(Uninstalling, TheScriptReadAtStartRunsAfterTheBundleHasGone) {
  layDeskDown();
  Manager m(ui, {});
  fs::remove_all(app);
  auto outcome = m.runUninstaller(std::nullopt);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, (std::pair<bool, std::string>{true, "✓ Stopped the console"}));
}
