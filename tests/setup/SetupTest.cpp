// Setting up in this process and through quendrelctl, with a payload of small scripts: the
// run, its failures and the installation record; and the setup window's flow with a scripted
// window and terms sheet, from the menu: the code, the terms, a run and its outcome, and the
// fallback to the payload's own copy of the terms.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SetupFixture.h"
#include "app/Manager.h"
#include "setup/Belonging.h"
#include "setup/SetupWindow.h"
#include "support/KillSweep.h"
#include "support/LocalServer.h"

using namespace setup_testing;

namespace {

using Controls = std::tuple<bool, bool, std::string>;  // code and button enabled, its title

class Window : public ::testing::Test {
 protected:
  Window() {
    ui.scriptedWindow = true;
    setenv("QUENDREL_PORT", std::to_string(desk.port()).c_str(), 1);
  }

  Platform::EventLoop loop{argc, argv};
  Computer computer;
  LocalServer desk{[](const std::string&) { return Answer{200, "{}"}; }};
  ScriptedUi ui;
  std::optional<Manager> manager;

  ScriptedSetupView& view() { return *ui.window; }
  ScriptedTerms& sheet() { return *ui.window->sheet; }
  Controls controls() { return {view().codeEnabled, view().buttonEnabled, view().button}; }
  std::string state() { return ui.item ? ui.item->title(Manager::stateLine) : ""; }
};

// A computer to set up: a fresh one, or one with an installation (and an older aside) in
// either layout, the run's keep folder on the same file system or another.
enum class Kind { fresh, installed, earlierLayout, keptElsewhere };

struct Scene {
  explicit Scene(Kind kind) : kind(kind) {
    fs::create_directories(shm);
    if (kind == Kind::fresh) return;
    writeInstallation(desk);
    write(aside / "older", "an older aside\n");
    kept = keptItems(desk);
    installed = snapshot(desk);
    modified = fs::last_write_time(desk / "projects/Easter/take.bin");
  }
  ~Scene() { fs::remove_all(shm); }

  fs::path root() const { return computer.home.path().parent_path(); }
  bool keptIn(const fs::path& folder) const { return contains(keptItems(folder), kept); }
  // A setup through quendrelctl, killed after the `at`th change under the root (0: never).
  Ran setUp(long at, const fs::path& log = {}) {
    Environment environment = killpoint(root(), at, log);
    if (kind == Kind::keptElsewhere) environment.emplace_back("TMPDIR", shm);
    return computer.ctl({"setup", "123456", "--terms", "v"}, environment);
  }

  // What must hold however the run was cut short.
  void checkAfterKill() {
    EXPECT_TRUE(!existing || keptIn(desk) || keptIn(aside))
        << "the user's kept items are whole in the installation or its aside";
    const bool untouched = existing ? snapshot(desk) == installed : !fs::exists(desk);
    const bool finished = fs::exists(desk / "agent-installed") && (!existing || keptIn(desk));
    EXPECT_TRUE(fs::exists(computer.marker()) || untouched || finished)
        << "no marker, so the run must have done nothing or all";
  }

  // A run to the end, and what it must leave: the kept items with their times, in place of
  // what the payload has under their names, and the application under its layout's name.
  void checkFinished() {
    Ran ran = setUp(0);
    EXPECT_EQ(std::pair(ran.status, ran.out), std::pair(0, std::string(done) + "\n")) << ran.err;
    EXPECT_TRUE(!existing || (keptIn(desk) &&
                              fs::last_write_time(desk / "projects/Easter/take.bin") == modified));
    const fs::path app = desk / (kind == Kind::earlierLayout ? "Tarvic.app" : "Quendrel.app");
    EXPECT_EQ(std::tuple(fs::exists(desk / "presets/factory.json"), read(desk / "VERSION"),
                         read(desk / "agent-installed"), fs::exists(app / "Contents"),
                         fs::exists(computer.marker())),
              std::tuple(!existing, payloadVersion, "installed\n", true, false));
  }

  Computer computer;
  const Kind kind;
  const bool existing = kind != Kind::fresh;
  const fs::path desk = kind == Kind::earlierLayout ? computer.home / "Tarvic" : computer.desk();
  const fs::path aside = desk.string() + "-previous";
  const fs::path shm = "/dev/shm/quendrel-test-" + std::to_string(getpid());
  Tree kept;                    // the user's kept items before the run
  Tree installed;               // the whole installation before the run
  fs::file_time_type modified;  // of a kept file
};

// Cuts a run short after every `every`th step; `twice`: cuts the run that repairs short too, at
// a step of its own, before the run to the end.
void sweepSetUp(Kind kind, const char* what, std::size_t every, bool twice = false) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  const Steps all = [kind] {  // the counted steps of an uninterrupted run
    Scene scene(kind);
    EXPECT_EQ(scene.setUp(0, scene.root() / "steps.log").status, 0);
    return steps(scene.root() / "steps.log", scene.root());
  }();
  auto cutShort = [&](long at) {
    Scene scene(kind);
    EXPECT_EQ(scene.setUp(at).status, 128 + 9);
    scene.checkAfterKill();
    if (twice) {
      scene.setUp((at * 5 + 3) % static_cast<long>(all.size()) + 1);
      scene.checkAfterKill();
    }
    scene.checkFinished();
  };
  EXPECT_GE(sweep(
                what, all, [every](std::size_t i, auto&) { return i % every == 0; }, cutShort),
            20);
}

}  // namespace

// setup.sh leaves a background process holding its output: the run goes on when the script
// itself has exited and finishes without waiting for that process. The note of the copy that
// looks after the desk is written only beside an installation, as given even when reached
// through a link, the same however often (outside an Applications folder and beside a working
// copy are the uninstaller's tests').
TEST(Setup, FirstSetupLaysTheDeskDownBeforeTheScriptsAndRecords) {
  Platform::EventLoop loop{argc, argv};
  Computer computer;
  const fs::path home = computer.home.path(), linked = home / "Apps/Quendrel.app";
  fs::create_directory_symlink(home / "Applications", home / "Apps");
  Belonging::record(computer.app);
  EXPECT_FALSE(fs::exists(computer.desk())) << "without an installation nothing at all is made";
  write(home / "leave-behind", "");
  EXPECT_EQ(setUp(), "") << "what the pairing printed is not shown";
  // The desk is laid before setup.sh, and the marker goes once the run succeeded.
  EXPECT_EQ(std::tuple(read(computer.desk() / "marker-during-setup"),
                       read(computer.desk() / "agent-installed"), fs::exists(computer.marker()),
                       read(Belonging::note())),
            std::tuple("laid\n", "installed\n", false, computer.app.string() + "\n"));
  for (int time = 0; time < 2; ++time) Belonging::record(linked);
  EXPECT_EQ(read(Belonging::note()), linked.string() + "\n");
  EXPECT_EQ(Installer::pairingAddress("https://a.org:8443/base/"), "wss://a.org:8443/church");
  // A run that starts over puts what it found at the first free name; a dangling link counts.
  fs::create_symlink("nowhere", home / "Desk-unfinished");
  EXPECT_EQ(Installer::spare(home / "Desk-unfinished"), home / "Desk-unfinished 2");
}

// What a failing step says (setup.sh's last lines are the desk's scripts' own tests'), and
// what it leaves: the marker stays, nothing is rolled back, and no later step runs.
TEST(Failing, EachStepSaysWhatWentWrongAndStopsThere) {
  Platform::EventLoop loop{argc, argv};
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // A file in the home folder, what it holds, and the message.
      {"no-payload", "",
       "This copy of Quendrel is incomplete — it has no console inside it. Download it again."},
      {"pair-fails", "\n   \n\n",
       "That code was not accepted. Codes last an hour and work once — ask for another."},
      {"agent-fails", "\n\n", "Starting did not finish."},
  };
  for (const auto& [file, content, message] : cases) {
    Computer computer;
    write(computer.home / file, content);
    if (fs::exists(computer.home / "no-payload")) fs::remove_all(computer.payload);
    const std::string said = setUp();
    EXPECT_EQ(std::tuple(said, read(computer.marker()),
                         fs::exists(computer.desk() / "agent-installed"), Belonging::recorded()),
              std::tuple(message, std::string(file) == "no-payload" ? "" : "laid\n", false, false));
  }
  // The install folder is the child's working folder; without it nothing starts. (In a home
  // of its own: the last computer's is gone.)
  Home empty;
  auto failure = [](const std::function<void()>& step) {
    try {
      step();
    } catch (const Installer::Failed& failed) {
      return failed.why;
    }
    return std::string("(no failure)");
  };
  EXPECT_EQ(failure([] { Installer::shell("setup.sh", "Setting up", {}); }),
            "Setting up could not start: No such file or directory");
  fs::create_directories(Paths::movedInstall());
  EXPECT_EQ(failure([] { Installer::pair("123456", ""); }),
            "Could not connect this computer: No such file or directory");

  // A copy that fails is unexpected and leaves the installation where it was.
  Computer computer;
  const fs::path desk = computer.desk();
  writeInstallation(desk);
  ASSERT_EQ(mkfifo((desk / "projects/pipe").c_str(), 0600), 0);  // a copy cannot take a FIFO
  write(computer.marker(), "fresh and more\n");  // not "fresh": the installation is kept
  const Tree before = snapshot(desk);
  EXPECT_TRUE(setUp().starts_with("Something unexpected went wrong: "));
  EXPECT_EQ(std::tuple(difference(snapshot(desk), before), read(computer.marker()),
                       namesIn(getenv("TMPDIR"))),
            std::tuple("", "keeping\n", std::vector<std::string>{}))
      << "the installation is where it was and the run's copies do not outlive it";
}

// Runs never overlap: one from quendrelctl or a second in this process is refused and changes
// nothing, and the first still counts. Its result, come after the window that started it has
// gone, is dropped.
TEST_F(Window, RunsNeverOverlapAndAResultAfterTheWindowHasGoneIsDropped) {
  for (std::string code : {"12345", "12a456"}) {
    Ran ran = computer.ctl({"setup", code, "--terms", "v"});
    EXPECT_EQ(std::tuple(ran.status, ran.out, ran.err),
              std::tuple(2, "", "The code must be six digits, like 123456.\n"));
  }

  ASSERT_EQ(mkfifo((computer.home / "hold").c_str(), 0600), 0);
  auto setup = std::make_unique<SetupWindow>(ui);
  setup->show([] {});
  view().type("123456");
  view().press();
  sheet().fail();
  sheet().fail();  // no terms at all: setting up goes on
  ASSERT_TRUE(spinUntil([&] { return fs::exists(computer.desk() / "marker-during-setup"); }));
  setup.reset();
  Ran other = computer.ctl({"setup", "654321", "--terms", "v"});
  std::string refused;  // touched on the main thread only
  Installer::run("654321", "v", [&refused](bool, std::string message) {
    Platform::onMain([&refused, message] { refused = message; });
  });
  ASSERT_TRUE(spinUntil([&] { return !refused.empty(); }));
  EXPECT_EQ(
      std::tuple(refused, Installer::running, other.status, other.err, read(computer.marker())),
      std::tuple(Installer::alreadyUnderWay, true, 1, Installer::alreadyUnderWay + "\n", "laid\n"));
  write(computer.home / "hold", "go\n");  // lets setup.sh go on
  EXPECT_TRUE(spinUntil([] { return !Installer::running; }, 20));
  Platform::turnLoop(0.1);
  EXPECT_EQ(read(computer.home / "paired"), "123456\n\n");
}

// Numbers of every script stay, a digit with an accent as one character; a lone accent first
// is not a number.
TEST(SetupCode, KeepsTheNumbersOfEveryScript) {
  const auto code = SetupWindow::numbersOf("\u0301½²Ⅻ五 1\u0301-2");
  EXPECT_EQ(std::pair(code.text, code.characters), std::pair(std::string("½²Ⅻ五1\u03012"), 6ul));
}

// Offered once when the desk needs setting up, brought back by the menu and by re-opening the
// application as it was left. A page without boxes gives the payload's own copy; when that has
// none either, setting up goes on without terms, and a failed run shows its message and gives
// the controls back. The own copy is not tried again in the window's life; a run that succeeds
// shows in the window and the menu.
TEST_F(Window, FromTheMenuThroughAFailedRunToASetUpDesk) {
  fs::create_directories(computer.desk());
  write(computer.marker(), "moved\n");
  manager.emplace(ui, std::vector<std::string>{});
  manager->carryOn();
  ASSERT_TRUE(spinUntil([&] { return state() == "Setting up did not finish" && ui.window; }, 20));
  // Starting up records who looks after the desk.
  EXPECT_EQ(read(Belonging::note()), fs::canonical(computer.app).string() + "\n");
  EXPECT_EQ(std::tuple(view().explain, controls()),
            std::tuple("Ask for the six digits and type them here. This computer will set itself "
                       "up and start its desk. It takes a few minutes.",
                       Controls{true, false, "Connect"}));
  view().type("1234567");
  EXPECT_FALSE(view().buttonEnabled) << "a longer code is not cut";
  view().type("١٢٣٤٥٦");
  view().close();
  for (int tick = 0; tick < 2; ++tick) manager->refresh();
  Platform::turnLoop(0.2);
  EXPECT_EQ(std::pair(view().open, view().broughtToFront), std::pair(false, 1));
  ui.item->choose(Manager::setupLine);  // "Set up this computer…"
  manager->applicationShouldHandleReopen();
  ASSERT_TRUE(spinUntil([&] { return view().broughtToFront == 3; }));
  EXPECT_EQ(std::tuple(ui.windowsMade, view().codeText, ui.alerts.size()),
            std::tuple(1, "١٢٣٤٥٦", 0u));

  write(computer.home / "pair-fails", "\n  Not that code.  \n");
  view().press();
  // Messages of another shape are ignored; a count that is not whole counts as nothing.
  sheet().post("{\"version\": \"2025-04\", \"done\": 2, \"of\": 3}");
  for (const char* odd : {"not json", "[1, 2]", "{\"done\": 1.5, \"of\": 3}"}) sheet().post(odd);
  EXPECT_EQ(std::pair(sheet().count, sheet().agreeEnabled),
            std::pair(std::string("0 of 3 boxes ticked"), false));
  sheet().post("{\"version\": \"2025-04\", \"done\": 0}");  // no "of"
  ASSERT_EQ(sheet().loaded.size(), 2u) << "the own copy";
  sheet().post("{\"done\": 0, \"of\": 0}");
  EXPECT_EQ(view().explain, "Setting up. This takes a few minutes — you can leave it.");
  ASSERT_TRUE(spinUntil([&] { return !Installer::running && view().codeEnabled; }, 20));
  EXPECT_EQ(std::tuple(view().explain, view().codeText, controls()),
            std::tuple("Not that code.", "١٢٣٤٥٦", Controls{true, true, "Connect"}));

  fs::remove(computer.home / "pair-fails");
  view().press();
  sheet().fail();
  EXPECT_EQ(view().sheet, nullptr) << "the own copy is not tried again";
  ASSERT_TRUE(spinUntil([&] { return state() == "Running — 3.1.4"; }, 20)) << "refreshed at once";
  EXPECT_EQ(std::tuple(view().explain, controls()),
            std::tuple(done, Controls{false, true, "Close"}));
  EXPECT_EQ(read(computer.home / "paired"), "١٢٣٤٥٦\n\n");
  view().press();
  EXPECT_EQ(std::tuple(view().open, view().sheetsOpened), std::tuple(false, 2));
}

// Setup runs killed with SIGKILL after each of their steps — every marker written, every
// folder made, every file created (but not yet filled), every item moved or removed — and run
// again. Whatever the step, the user's kept items survive, the marker never says the run is
// done when it is not, and the next run finishes the job.

TEST(CutShort, OverAnInstallation) {
  sweepSetUp(Kind::installed, "setup over an installation", 1);
}
TEST(CutShort, OnAFreshComputer) {
  sweepSetUp(Kind::fresh, "setup on a fresh computer", 1);
}
TEST(CutShort, OverAnInstallationInTheEarlierLayout) {
  sweepSetUp(Kind::earlierLayout, "setup over an installation in ~/Tarvic", 2);
}
TEST(CutShort, WithTheKeepFolderOnAnotherFileSystem) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no second file system to keep on";
  sweepSetUp(Kind::keptElsewhere, "setup keeping on another file system", 1);
}

TEST(CutShort, TwiceInARowThenToTheEnd) {
  sweepSetUp(Kind::installed, "setup cut short twice in a row", 2, true);
}
