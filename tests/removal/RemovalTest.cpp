// Removal against real bundles in a temporary home, moved about as a file manager does,
// followed by the watch's real events, with a scripted user answering the questions: where
// the bundle is and putting it back from the Trash; the uninstaller as it runs (what the user
// is shown of its output, the private copy it runs from, quendrelctl's run of it); and the
// removal flows as the user lives them. What the reference uninstaller keeps and removes is
// the devkit's own tests' business; quendrelctl's failures, the faults tests'.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "placement/Applications.h"
#include "placement/Desktop.h"
#include "platform/Files.h"
#include "platform/Moving.h"
#include "platform/Queue.h"
#include "removal/Uninstaller.h"
#include "removal/Whereabouts.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"

namespace fs = std::filesystem;
using testing_support::read;
using testing_support::ScriptedUi;
using testing_support::snapshot;
using testing_support::spinUntil;
using testing_support::write;
using Lines = std::vector<std::string>;
using Place = Whereabouts::Place;
using Uninstaller::Outcome;

namespace {

// An uninstaller that notes its arguments, one a line, in ~/uninstaller-args and says what a
// real one says; it removes the bundle it is given, as the real one does.
inline constexpr const char* notingUninstaller = R"sh(#!/bin/bash
printf '%s\n' "$@" > "$HOME/uninstaller-args"
echo "Stopping"
echo "✓ Stopped the console"
if [[ "${1:-}" == --app ]]; then rm -rf -- "$2"; echo "✓ Removed $(basename "$2")"; fi
)sh";

struct Removal : ::testing::Test {
  Removal() {
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
  char* argv[2] = {const_cast<char*>("removal_tests"), nullptr};
  Platform::EventLoop loop{argc, argv};
  fs::path app = home / "Applications/Quendrel.app";
  testing_support::ScriptedUi ui;
  std::unique_ptr<Manager> manager;
};

constexpr int firstButton = Platform::firstButton;
const std::string inTrash = "Quendrel is in the Trash", deleted = "Quendrel has been deleted";
const std::string asked = "Remove Quendrel from this computer?",
                  removed = "Quendrel has been removed.";
const std::string notPutBack = "Quendrel could not be put back.";
const std::string yourMixes =
    "Your projects and presets are not deleted — they are put on the Desktop in a folder called "
    "\"Quendrel — your mixes\".";

// One way to uninstall: what the user does, answers and is shown, and what runs.
struct Way {
  std::string name;
  std::function<void(Removal&, Manager&)> start;
  std::deque<int> answers;
  Lines messages;
  std::string question;  // the first alert's informative text
  Lines buttons;         // the first alert's buttons
  std::string args;      // the uninstaller's arguments, one a line; "none" when it did not run
};

void PrintTo(const Way& way, std::ostream* out) {
  *out << way.name;
}

class Uninstalling : public Removal, public ::testing::WithParamInterface<Way> {};

const auto fromTheMenu = [](Removal& t, Manager&) { t.ui.item->choose(Manager::uninstallLine); };

const Way ways[] = {
    {"RemovedFromTheTrash",
     [](Removal& t, Manager&) { t.move(t.app, t.home / ".Trash/Quendrel.app"); },
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
     [](Removal& t, Manager&) { fs::remove_all(t.app); },
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

// A held bundle's name is read from the system, which adds " (deleted)" to the name of one
// that is gone: a bundle that merely has such a name is not gone.
TEST_F(Removal, WhereTheBundleIs) {
  Whereabouts where;
  const fs::path odd = home / "Elsewhere/Quendrel.app (deleted)";
  move(app, odd);
  EXPECT_EQ(where.place(), Place::moved(odd));
  testing_support::pretendMainBundle(odd);
  EXPECT_FALSE(Whereabouts().watching()) << "a copy started outside an Applications folder";
  fs::remove_all(odd);
  EXPECT_EQ(where.place(), Place::gone());

  // The rest of what is settled is the setup tests' business, and where a bundle goes when it
  // is moved, trashed, deleted or put back, the removal flows'.
  EXPECT_TRUE(Settling::settled("/Applications/Quendrel.app") &&
              !Settling::settled(home / "ApplicationsOld/Quendrel.app"));
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  const std::pair<fs::path, bool> trashed[] = {
      {"/Volumes/Stick/.Trashes/501/Quendrel.app", true},
      {"/data/.Trash-1000/files/Quendrel.app", true},
      {"/data/.Trash-1000/info/Quendrel.app", false},
      {"/data/.Trash-me/files/Quendrel.app", false},
      {home / "data/Trash/filesystem/Quendrel.app", false},
      {home / ".local/share/Trash/files/Quendrel.app", false},  // not the Trash of this home
  };
  for (const auto& [path, is] : trashed) EXPECT_EQ(Whereabouts::trashed(path), is) << path;
}

// From another file system: the bundle is copied back whole and the Trash's copy removed;
// nothing that stands in the way is ever replaced.
TEST_F(Removal, PutBackAcrossFileSystems) {
  struct stat shm = {}, here = {};
  std::string elsewhere = "/dev/shm/quendrel-put-back-XXXXXX";
  stat("/dev/shm", &shm), stat(home.path().c_str(), &here);
  if (shm.st_dev == here.st_dev || !mkdtemp(elsewhere.data())) GTEST_SKIP() << "no other one";
  const std::shared_ptr<void> removed(nullptr, [&](void*) {
    std::error_code ignored;
    fs::remove_all(elsewhere, ignored);
  });
  const fs::path trashed = fs::path(elsewhere) / ".Trash-0/files/Quendrel.app";
  fs::create_directories(trashed.parent_path());
  fs::copy(app, trashed, fs::copy_options::recursive);
  write(trashed / "Contents/Resources/big", std::string(1 << 20, 'q'), 0600);  // and a link:
  fs::create_directory_symlink("Resources", trashed / "Contents/payload");
  const auto there = snapshot(app.parent_path()), inTrash = snapshot(trashed);

  // Something stands in the way: it stays, and no copy is left beside it.
  EXPECT_NE(Platform::moveItem(trashed, app), std::nullopt);
  EXPECT_EQ(std::pair(snapshot(app.parent_path()), snapshot(trashed)), std::pair(there, inTrash));
  fs::remove_all(app);
  ASSERT_EQ(Platform::moveItem(trashed, app), std::nullopt);
  EXPECT_EQ(
      std::tuple(testing_support::namesIn(app.parent_path()), snapshot(app), fs::exists(trashed)),
      std::tuple(std::vector<std::string>{"Quendrel.app"}, inTrash, false));
}

// What it leaves in the temporary folder, and its arguments, are the security checks' and the
// removal flows' business.
TEST_F(Removal, TheUninstallerShowsWhatItDidAndRunsFromACopyNobodyCanForesee) {
  const std::pair<const char*, Outcome> cases[] = {
      // Done: the lines that start with the check mark, once trimmed of blanks.
      {"echo Stopping\necho '✓ Stopped it'\necho 'slow' >&2\necho ' x ✓'\n"
       "printf '  ✓ spaces\\n\\t✓ tab  \\t\\n\\xc2\\xa0✓ no-break\\n \\t \\n'\n",
       {true, "✓ Stopped it\n✓ spaces\n✓ tab\n✓ no-break"}},
      // Failed: the last three lines said, without their colours (only colours).
      {"for i in 1 2 3; do printf '\\e[31m✗\\e[0m %s \\e[1;32mok\\e[m\\n' $i; echo; done\n"
       "printf '\\e[2Kcleared\\n'\necho only >&2\nexit 3\n",
       {false, "✗ 3 ok\n\x1b[2Kcleared\nonly"}},
  };
  for (const auto& [script, shown] : cases)
    EXPECT_EQ(Uninstaller::run(script, std::nullopt), shown) << script;
  // quendrelctl runs it as the menu does.
  write(Paths::movedInstall() / "uninstall.sh", notingUninstaller, 0755);
  write(Desktop::entry(), Desktop::entryText(app, app / "Contents/MacOS/Quendrel"));
  const auto ran = placement_testing::run(QUENDRELCTL, {"uninstall", "--app", app.string()});
  EXPECT_EQ(std::pair(ran.status, ran.output),
            std::pair(0, std::string("Quendrel has been removed.\n✓ Stopped the console\n"
                                     "✓ Removed Quendrel.app\n")));
  EXPECT_FALSE(fs::exists(app) || fs::exists(Desktop::entry()))
      << "the desktop entry goes with the application";
  // A name nobody can foresee, run in our own working folder.
  ASSERT_TRUE(Uninstaller::run("printf '%s\\n' \"$0\" \"$PWD\" > \"$HOME/noted\"\n", std::nullopt));
  EXPECT_TRUE(std::regex_match(
      read(home / "noted"),
      std::regex(Platform::temporaryFolder().string() +
                 "/quendrel-uninstall-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.sh\n" +
                 fs::current_path().string() + "\n")))
      << read(home / "noted");
  // A temporary folder that cannot take the copy: the installed script runs instead.
  write(Paths::install() / "uninstall.sh", "echo '✓ installed one ran'\n");
  setenv("TMPDIR", (home / "no such folder").c_str(), 1);
  EXPECT_EQ(Uninstaller::run("echo '✓ the copy'\n", std::nullopt),
            (Outcome{true, "✓ installed one ran"}));

  EXPECT_EQ(std::tuple(Uninstaller::report(Outcome{true, "✓ a"}).style,
                       Uninstaller::report(Outcome{false, "why"}).style,
                       Uninstaller::report(std::nullopt).informative),
            std::tuple(Platform::AlertStyle::informational, Platform::AlertStyle::warning,
                       "Drag Quendrel to the Trash, and then this folder:\n\n" +
                           Paths::install().string()));
}

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
  // Quendrel ends with a removal, and the desktop entry goes with it; the application goes
  // with --app.
  const bool ran = way.args != "none";
  EXPECT_EQ(std::tuple(read(home / "uninstaller-args"), m.terminated(),
                       fs::exists(Desktop::entry()), fs::exists(app)),
            std::tuple(ran ? (way.args == "\n" ? "\n" : "--app\n" + app.string() + "\n") : "", ran,
                       !ran, !ran));
}

INSTANTIATE_TEST_SUITE_P(Ways, Uninstalling, ::testing::ValuesIn(ways),
                         [](const auto& info) { return info.param.name; });

// Moved inside Applications, the new place is recorded (whether a place outside one is, is
// the setup tests' business); there, without an uninstaller, Quendrel stays.
TEST_F(Removal, MovedOrTrashedAsksOncePerPlacePutItBackMovesItBackAndLaterQuits) {
  fs::remove(app / "Contents/Resources/payload/uninstall.sh");
  Manager& m = launch();
  const fs::path audio = home / "Applications/Audio/Quendrel.app";
  move(app, audio);
  ASSERT_TRUE(spinUntil([&] { return m.removal().whereabouts().home() == audio; }));
  EXPECT_EQ(read(note()), audio.string() + "\n");
  ui.answers = {firstButton};
  ui.item->choose(Manager::uninstallLine);
  EXPECT_FALSE(m.terminated());
  app = audio;
  const fs::path trashed = trash() / "Quendrel.app", info = trash().parent_path() / "info";
  // As a file manager trashes: the note first, then the item.
  write(info / "Quendrel.app.trashinfo", "[Trash Info]\nPath=" + app.string() + "\n");
  write(info / "Other.app.trashinfo", "[Trash Info]\nPath=/elsewhere/Other.app\n");
  move(app, trashed);
  ASSERT_TRUE(shown(3));  // Return chose "Put It Back"
  EXPECT_TRUE(fs::exists(app / "Contents/Info.plist") && !fs::exists(trashed));
  EXPECT_EQ(testing_support::namesIn(info), Lines{"Other.app.trashinfo"}) << "the Trash forgets it";

  // Back home, the question is fresh again; this time the answer cannot put it back.
  ui.onAlert = [&](const Platform::Alert&) { fs::remove_all(home / "Applications"); };
  move(app, trashed);
  ASSERT_TRUE(shown(5));
  ui.onAlert = nullptr;
  EXPECT_EQ(ui.alerts[4].informative,
            "Open the Trash and choose Put Back on Quendrel. Until then the console carries on "
            "as it is.");
  tick();  // looked at again: no new question
  // Emptied from the Trash, and left for later (Return): Quendrel quits and keeps the desk.
  fs::remove_all(trashed);
  tick();
  EXPECT_EQ(std::tuple(messages(), m.terminated(), fs::exists(home / "uninstaller-args"),
                       fs::exists(Paths::install() / "agent.sh")),
            std::tuple(Lines{asked, "This copy of Quendrel cannot uninstall itself.", inTrash,
                             inTrash, notPutBack, deleted},
                       true, false, true));
}

TEST_F(Removal, ADeskQuendrelDidNotInstallIsLeftAloneAndNoDeskEndsQuendrel) {
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
