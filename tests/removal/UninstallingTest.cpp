// The removal flows as the user lives them: a real bundle moved about as a file manager does,
// the watch's real events, a scripted user answering the questions.
#include <gtest/gtest.h>

#include "Removal.h"
#include "app/Manager.h"
#include "removal/Whereabouts.h"
#include "support/ScriptedUi.h"

using removal_testing::Removal;
using testing_support::read;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
namespace fs = std::filesystem;

namespace {

constexpr int firstButton = Platform::firstButton;
const std::string yourMixes =
    "Your projects and presets are not deleted — they are put on the Desktop in a folder called "
    "\"Quendrel — your mixes\".";

class Uninstalling : public Removal {
 protected:
  // Starts Quendrel as a launch does, the menu and the bundle watch included.
  Manager& launch() {
    manager = std::make_unique<Manager>(ui, std::vector<std::string>{});
    manager->carryOn();
    return *manager;
  }
  bool asked(std::size_t count) {
    return spinUntil([&] { return ui.alerts.size() >= count; });
  }
  // Lets the watch's events arrive, then looks as the next tick would.
  void tick() {
    spinUntil([] { return false; }, 0.3);
    manager->removal().lookWhereIAm();
  }
  void expectQuestion(std::size_t i, const std::string& message, const std::string& informative,
                      const std::vector<std::string>& buttons) {
    const auto& alert = ui.alerts.at(i);
    EXPECT_EQ(alert.style, Platform::AlertStyle::warning);
    EXPECT_EQ(alert.message, message);
    EXPECT_EQ(alert.informative, informative);
    EXPECT_EQ(alert.buttons, buttons);
    EXPECT_EQ(alert.returnKey, 1u) << "Return goes to the harmless button";
    EXPECT_EQ(alert.escapeKey, 1u);
  }
  std::string args() const { return read(home / "uninstaller-args"); }

  ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

}  // namespace

TEST_F(Uninstalling, TrashedAsksOncePerPlaceAndPutItBackMovesItBack) {
  layDeskDown();
  Manager& m = launch();
  const fs::path trashed = trash() / "Quendrel.app";
  move(app, trashed);
  ASSERT_TRUE(asked(1));
  expectQuestion(0, "Quendrel is in the Trash",
                 "Remove it from this Mac completely? The console stops and will not start "
                 "again, and everything Quendrel installed is deleted.\n\n" +
                     yourMixes + "\n\nIf it went in the Trash by mistake, put it back.",
                 {"Remove Quendrel", "Put It Back"});
  // Return chose "Put It Back".
  EXPECT_TRUE(fs::exists(app / "Contents/Info.plist"));
  EXPECT_FALSE(fs::exists(trashed));
  tick();
  EXPECT_EQ(ui.alerts.size(), 1u);

  // Back home, the question is fresh again; this time the answer cannot put it back.
  ui.onAlert = [&](const Platform::Alert&) { fs::remove_all(home / "Applications"); };
  move(app, trashed);
  ASSERT_TRUE(asked(3));
  ui.onAlert = nullptr;
  EXPECT_EQ(ui.alerts[1].message, "Quendrel is in the Trash");
  EXPECT_EQ(ui.alerts[2].message, "Quendrel could not be put back.");
  EXPECT_EQ(ui.alerts[2].informative,
            "Open the Trash and choose Put Back on Quendrel. Until then the console carries on "
            "as it is.");
  EXPECT_TRUE(ui.alerts[2].buttons.empty());

  // Renamed about inside the Trash and back, looked at again and again: no new question.
  move(trashed, trash() / "Other.app");
  move(trash() / "Other.app", trashed);
  tick();
  tick();
  EXPECT_EQ(ui.alerts.size(), 3u);
  EXPECT_FALSE(fs::exists(home / "uninstaller-args"));
  EXPECT_FALSE(m.terminated());
}

TEST_F(Uninstalling, EmptiedFromTheTrashAsksAboutTheDeletion) {
  layDeskDown();
  Manager& m = launch();
  const fs::path trashed = trash() / "Quendrel.app";
  ui.onAlert = [&](const Platform::Alert&) { fs::remove_all(trashed); };  // emptied meanwhile
  move(app, trashed);
  ASSERT_TRUE(asked(2));
  ui.onAlert = nullptr;
  EXPECT_EQ(ui.alerts[1].message, "Quendrel could not be put back.");

  m.removal().lookWhereIAm();  // "Later"
  ASSERT_EQ(ui.alerts.size(), 3u);
  expectQuestion(2, "Quendrel has been deleted",
                 "Its console is still running on this Mac. Remove that too? " + yourMixes +
                     "\n\nIf you leave it and Quendrel was emptied from the Trash, the console "
                     "removes itself once nobody is using it, and that folder is put in your home "
                     "folder instead. Deleted any other way, the console stays; to remove it "
                     "later, download Quendrel again and choose Uninstall Quendrel… from its menu.",
                 {"Remove It Now", "Later"});
  EXPECT_TRUE(m.terminated()) << "Later: Quendrel quits, the desk stays";
  EXPECT_FALSE(fs::exists(home / "uninstaller-args"));
  EXPECT_TRUE(fs::exists(Paths::install() / "agent.sh"));
}

TEST_F(Uninstalling, RemoveFromTheTrashRunsTheUninstallerWithoutTheApplication) {
  layDeskDown();
  Manager& m = launch();
  ui.answers = {firstButton};
  move(app, home / ".Trash/Quendrel.app");
  ASSERT_TRUE(asked(2));
  EXPECT_EQ(args(), "\n") << "no arguments";
  EXPECT_EQ(ui.alerts[1].message, "Quendrel has been removed.");
  EXPECT_EQ(ui.alerts[1].informative, "✓ Stopped the console");
  EXPECT_TRUE(m.terminated());
}

TEST_F(Uninstalling, DeletionIsNoticedByTheNextTickAtTheLatest) {
  layDeskDown();
  Manager& m = launch();
  ui.answers = {firstButton};  // "Remove It Now"
  fs::remove_all(app);
  ASSERT_TRUE(asked(2));  // no event comes while the bundle is held; the 5-second tick sees it
  EXPECT_EQ(ui.alerts[0].message, "Quendrel has been deleted");
  EXPECT_EQ(ui.alerts[1].message, "Quendrel has been removed.");
  EXPECT_EQ(args(), "\n") << "the script read at start still runs, without an application";
  EXPECT_TRUE(m.terminated());
}

TEST_F(Uninstalling, MovedOutsideTheTrashIsFollowedWithoutAQuestion) {
  layDeskDown();
  Manager& m = launch();
  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  move(app, audio);
  ASSERT_TRUE(spinUntil([&] { return m.removal().whereabouts().home() == audio; }));
  EXPECT_EQ(read(note()), audio.string() + "\n") << "recorded in its new Applications folder";
  const fs::path desktop = home / "Desktop/Quendrel.app";
  move(audio, desktop);
  ASSERT_TRUE(spinUntil([&] { return m.removal().whereabouts().home() == desktop; }));
  EXPECT_EQ(read(note()), audio.string() + "\n") << "not recorded outside one";
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_FALSE(m.terminated());
}

TEST_F(Uninstalling, ADeskQuendrelDidNotInstallIsLeftAloneAndNoDeskEndsQuendrel) {
  layDeskDown(false);
  // A working copy: the one desk that Quendrel, starting up in Applications, does not mark.
  testing_support::write(Paths::movedInstall() / ".git/HEAD", "ref: refs/heads/main\n");
  Manager& m = launch();
  move(app, trash() / "Quendrel.app");
  tick();
  EXPECT_TRUE(ui.alerts.empty());
  EXPECT_FALSE(m.terminated());

  move(trash() / "Quendrel.app", app);
  tick();
  fs::remove_all(home / "Library");
  move(app, trash() / "Quendrel.app");
  ASSERT_TRUE(spinUntil([&] { return m.terminated(); }));
  EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(Uninstalling, FromTheMenuTheApplicationGoesToo) {
  layDeskDown();
  launch();
  EXPECT_EQ(ui.item->title(Manager::uninstallLine), "Uninstall Quendrel…");
  ui.answers = {ScriptedUi::escapeKey};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 1u);
  expectQuestion(0, "Remove Quendrel from this Mac?",
                 "The console will stop and will not start again. Quendrel and everything it "
                 "installed are removed.\n\n" +
                     yourMixes +
                     "\n\nIf this Mac broadcasts a service, it will not be able to until Quendrel "
                     "is installed again.",
                 {"Remove Quendrel", "Cancel"});
  EXPECT_FALSE(fs::exists(home / "uninstaller-args")) << "Cancel runs nothing";

  ui.answers = {firstButton};
  // The report is up and the bundle already gone: the looks made meanwhile must not end
  // Quendrel under the user's eyes.
  ui.onAlert = [&](const Platform::Alert& alert) {
    if (alert.message != "Quendrel has been removed.") return;
    manager->removal().lookWhereIAm();
    EXPECT_FALSE(manager->terminated());
  };
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 3u);
  EXPECT_EQ(args(), "--app\n" + app.string() + "\n");
  EXPECT_EQ(ui.alerts[2].informative, "✓ Stopped the console\n✓ Removed Quendrel.app");
  EXPECT_FALSE(fs::exists(app));
  EXPECT_TRUE(manager->terminated());
}

TEST_F(Uninstalling, TheWayInOffersToUninstall) {
  layDeskDown();
  launch();
  ui.answers = {firstButton + 3, ScriptedUi::returnKey};
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(asked(2));
  EXPECT_EQ(ui.alerts[1].message, "Remove Quendrel from this Mac?");
}

TEST_F(Uninstalling, WithoutAnyUninstallerQuendrelSaysSoAndStays) {
  layDeskDown();
  fs::remove(app / "Contents/Resources/payload/uninstall.sh");
  launch();
  ui.answers = {firstButton};
  ui.item->choose(Manager::uninstallLine);
  ASSERT_EQ(ui.alerts.size(), 2u);
  EXPECT_EQ(ui.alerts[1].message, "This copy of Quendrel cannot uninstall itself.");
  EXPECT_FALSE(manager->terminated());
}
