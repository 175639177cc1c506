// The removal flows as the user lives them: a real bundle moved about as a file manager does,
// the watch's real events, a scripted user answering the questions.
#include <gtest/gtest.h>

#include "Removal.h"
#include "placement/Desktop.h"

using removal_testing::Removal;
using testing_support::ScriptedUi;
using testing_support::spinUntil;
using Lines = std::vector<std::string>;

namespace {

constexpr int firstButton = Platform::firstButton;
const std::string inTrash = "Quendrel is in the Trash", deleted = "Quendrel has been deleted";
const std::string asked = "Remove Quendrel from this computer?",
                  removed = "Quendrel has been removed.";
const std::string notPutBack = "Quendrel could not be put back.";
const std::string yourMixes =
    "Your projects and presets are not deleted — they are put on the Desktop in a folder called "
    "\"Quendrel — your mixes\".";

using Launched = Removal;

// One way to uninstall: what the user does, answers and is shown, and what runs.
struct Way {
  std::string name;
  std::function<void(Launched&, Manager&)> start;
  std::deque<int> answers;
  Lines messages;
  std::string question;  // the first alert's informative text
  Lines buttons;         // the first alert's buttons
  std::string args;      // the uninstaller's arguments, one a line; "none" when it did not run
};

void PrintTo(const Way& way, std::ostream* out) {
  *out << way.name;
}

class Uninstalling : public Launched, public ::testing::WithParamInterface<Way> {};

const auto fromTheMenu = [](Launched& t, Manager&) { t.ui.item->choose(Manager::uninstallLine); };

const Way ways[] = {
    {"RemovedFromTheTrash",
     [](Launched& t, Manager&) { t.move(t.app, t.home / ".Trash/Quendrel.app"); },
     {firstButton},
     {inTrash, removed},
     "Remove it from this computer completely? The console stops and will not start again, and "
     "everything Quendrel installed is deleted.\n\n" +
         yourMixes + "\n\nIf it went in the Trash by mistake, put it back.",
     {"Remove Quendrel", "Put It Back"},
     "\n"},
    // No event comes while the bundle is held; the 5-second tick sees it, and the script read
    // at start still runs, without an application.
    {"DeletedAndNoticedByTheTick",
     [](Launched& t, Manager&) { fs::remove_all(t.app); },
     {firstButton},
     {deleted, removed},
     "Its console is still running on this computer. Remove that too? " + yourMixes +
         "\n\nIf you leave it and Quendrel was emptied from the Trash, the console removes itself "
         "once nobody is using it, and that folder is put in your home folder instead. Deleted "
         "any other way, the console stays; to remove it later, download Quendrel again and "
         "choose Uninstall Quendrel… from its menu.",
     {"Remove It Now", "Later"},
     "\n"},
    {"FromTheMenu",
     fromTheMenu,
     {firstButton},
     {asked, removed},
     "The console will stop and will not start again. Quendrel and everything it installed are "
     "removed.\n\n" +
         yourMixes +
         "\n\nIf this computer broadcasts a service, it will not be able to until Quendrel is "
         "installed again.",
     {"Remove Quendrel", "Cancel"},
     "--app\n"},
    {"FromTheMenuCancelled", fromTheMenu, {ScriptedUi::escapeKey}, {asked}, "", {}, "none"},
};

}  // namespace

TEST_P(Uninstalling, Way) {
  const Way& way = GetParam();
  Manager& m = launch();
  ui.answers = way.answers;
  // The report is up and the bundle already gone: the looks made meanwhile must not end
  // Quendrel under the user's eyes.
  write(Desktop::entry(), Desktop::entryText(app, app / "Contents/MacOS/Quendrel"));
  ui.onAlert = [&](const Platform::Alert& alert) {
    if (alert.message != removed) {
      EXPECT_TRUE(fs::exists(Desktop::entry())) << "the desktop entry stays while asking";
      return;
    }
    m.removal().lookWhereIAm();
    EXPECT_FALSE(m.terminated());
  };
  way.start(*this, m);
  ASSERT_TRUE(shown(way.messages.size()));
  EXPECT_EQ(messages(), way.messages);
  if (const auto& first = ui.alerts[0]; !way.question.empty()) {  // Return, Escape: harmless
    EXPECT_EQ(
        std::tuple(first.style, first.informative, first.buttons, first.returnKey, first.escapeKey),
        std::tuple(Platform::AlertStyle::warning, way.question, way.buttons, 1, 1));
  }
  const bool ran = way.args != "none";
  EXPECT_EQ(read(home / "uninstaller-args"),
            ran ? (way.args == "\n" ? "\n" : "--app\n" + app.string() + "\n") : "");
  EXPECT_EQ(m.terminated(), ran);
  EXPECT_EQ(fs::exists(Desktop::entry()), !ran) << "the desktop entry goes with a removal";
  EXPECT_EQ(fs::exists(app), way.args == "none") << "the application goes with --app";
}

INSTANTIATE_TEST_SUITE_P(Ways, Uninstalling, ::testing::ValuesIn(ways),
                         [](const auto& info) { return info.param.name; });

TEST_F(Launched, TrashedAsksOncePerPlacePutItBackMovesItBackAndLaterQuits) {
  Manager& m = launch();
  const fs::path trashed = trash() / "Quendrel.app", info = trash().parent_path() / "info";
  // As a file manager trashes: the note first, then the item.
  write(info / "Quendrel.app.trashinfo", "[Trash Info]\nPath=" + app.string() + "\n");
  write(info / "Other.app.trashinfo", "[Trash Info]\nPath=/elsewhere/Other.app\n");
  move(app, trashed);
  ASSERT_TRUE(shown(1));  // Return chose "Put It Back"
  EXPECT_TRUE(fs::exists(app / "Contents/Info.plist") && !fs::exists(trashed));
  EXPECT_EQ(testing_support::namesIn(info), Lines{"Other.app.trashinfo"}) << "the Trash forgets it";

  // Back home, the question is fresh again; this time the answer cannot put it back.
  ui.onAlert = [&](const Platform::Alert&) { fs::remove_all(home / "Applications"); };
  move(app, trashed);
  ASSERT_TRUE(shown(3));
  ui.onAlert = nullptr;
  EXPECT_EQ(ui.alerts[2].informative,
            "Open the Trash and choose Put Back on Quendrel. Until then the console carries on "
            "as it is.");
  tick();  // looked at again: no new question
  // Emptied from the Trash, and left for later (Return): Quendrel quits and keeps the desk.
  fs::remove_all(trashed);
  tick();
  EXPECT_EQ(messages(), (Lines{inTrash, inTrash, notPutBack, deleted}));
  EXPECT_TRUE(m.terminated());
  EXPECT_FALSE(fs::exists(home / "uninstaller-args"));
  EXPECT_TRUE(fs::exists(Paths::install() / "agent.sh"));
}

// Whether a place outside one is recorded is the setup tests' business.
TEST_F(Launched, MovedInsideApplicationsIsRecordedAndWithoutAnUninstallerQuendrelStays) {
  fs::remove(app / "Contents/Resources/payload/uninstall.sh");
  Manager& m = launch();
  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  move(app, audio);
  ASSERT_TRUE(spinUntil([&] { return m.removal().whereabouts().home() == audio; }));
  EXPECT_EQ(read(note()), audio.string() + "\n");
  ui.answers = {firstButton};
  ui.item->choose(Manager::uninstallLine);
  EXPECT_EQ(messages(), (Lines{asked, "This copy of Quendrel cannot uninstall itself."}));
  EXPECT_FALSE(m.terminated());
}

TEST_F(Launched, ADeskQuendrelDidNotInstallIsLeftAloneAndNoDeskEndsQuendrel) {
  // A working copy: the one desk that Quendrel, starting up in Applications, does not mark.
  write(Paths::movedInstall() / ".git/HEAD", "ref: refs/heads/main\n");
  Manager& m = launch(false);
  move(app, trash() / "Quendrel.app");
  tick();
  EXPECT_FALSE(m.terminated());
  // Without a desk any more, the next place ends Quendrel without a word.
  fs::remove_all(home / "Library");
  move(trash() / "Quendrel.app", trash() / "Quendrel 2.app");
  ASSERT_TRUE(spinUntil([&] { return m.terminated(); }));
  EXPECT_TRUE(ui.alerts.empty());
}
