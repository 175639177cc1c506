// Setting up in this process and through quendrelctl, with a payload of small scripts: laying
// the desk down over what is there, recovering from a run that stopped, the scripts' and the
// pairing's failures, and the installation record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SetupFixture.h"
#include "platform/Queue.h"
#include "setup/Belonging.h"
#include "setup/Installer.h"
#include "support/MainBundle.h"

using namespace setup_testing;

namespace {

class Setup : public ::testing::Test {
 protected:
  Platform::EventLoop loop{argc, argv};
  Computer computer;
};

// The message of the `Failed` the step throws.
std::string failure(const std::function<void()>& step) {
  try {
    step();
  } catch (const Installer::Failed& failed) {
    return failed.why;
  }
  return "(no failure)";
}

}  // namespace

// The scripts leave a background process holding their output: the run goes on when each
// script itself has exited and finishes without waiting for those processes.
TEST_F(Setup, FirstSetupLaysTheDeskDownPairsStartsAndRecords) {
  write(computer.home / "leave-behind", "");
  Outcome outcome = setUp("123456", "2025-04");
  ASSERT_TRUE(outcome.ok) << outcome.message;
  EXPECT_EQ(outcome.message, "") << "what the pairing printed is not shown";
  EXPECT_FALSE(Installer::running);

  const fs::path desk = computer.desk();
  EXPECT_EQ(read(desk / "VERSION"), "3.1.4 (payload)\n");
  EXPECT_EQ(read(desk / "agent-installed"), "installed\n");
  EXPECT_EQ(read(desk / "marker-during-setup"), "laid\n") << "the desk is laid before setup.sh";
  EXPECT_EQ(read(desk / "marker-during-agent"), "laid\n");
  EXPECT_FALSE(fs::exists(computer.marker())) << "the marker goes once the run succeeded";

  // The pairing: the payload's Python, in the desk's folder, with the script, code and terms;
  // the script talks to the service's pairing address.
  EXPECT_EQ(read(computer.home / "pair-folder"), desk.string() + "\n");
  EXPECT_TRUE(read(computer.home / "pair-arguments")
                  .starts_with(std::string("-c") + '\0' + Installer::pairingScript() + '\0'));
  EXPECT_NE(Installer::pairingScript().find("'ws://127.0.0.1:8765/church'"), std::string::npos);
  EXPECT_EQ(computer.paired(), (std::vector<std::string>{"123456", "2025-04"}));

  // The installation record names the bundle, which lies in ~/Applications.
  EXPECT_EQ(read(Belonging::note()), computer.app.string() + "\n");
}

// Laying down after a run that stopped, or over an installation, in either layout, by what the
// marker says and what is on disk: the kept items come byte for byte from the install folder,
// its aside or nowhere, and the install folder becomes the aside or goes to the next free
// unfinished name. The earlier layout keeps its places and the old application's name.
TEST(LayDown, RecoveryByTheMarkerAndWhatIsOnDisk) {
  enum class Aside { none, older, installation };
  enum class From { desk, aside, none };
  struct Case {
    const char* marker;  // none: no marker
    bool earlier;        // in ~/Tarvic rather than the moved place
    bool desk;
    Aside aside;
    bool unfinishedTaken;
    From keptFrom;
    const char* deskGoesTo;  // the end of its new name; none when there was none
  } cases[] = {
      {nullptr, false, false, Aside::none, false, From::none, nullptr},  // a first setup
      {"moved", false, true, Aside::installation, true, From::aside, "-unfinished 2"},
      {"keeping", false, false, Aside::none, false, From::none, nullptr},
      {"fresh", false, true, Aside::installation, false, From::none, "-unfinished"},
      {nullptr, false, true, Aside::older, false, From::desk, "-previous"},
      {"keeping", false, true, Aside::older, false, From::desk, "-previous"},
      {"laid", false, true, Aside::older, false, From::desk, "-previous"},
      {"moved", false, true, Aside::none, false, From::desk, "-previous"},
      {"settling", false, true, Aside::older, false, From::desk, "-previous"},
      {"fresh and more", false, true, Aside::older, false, From::desk, "-previous"},
      {nullptr, true, true, Aside::none, false, From::desk, "-previous"},
      {"moved", true, false, Aside::installation, false, From::aside, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("marker: ") + (c.marker ? c.marker : "none") +
                 (c.earlier ? ", earlier layout" : ""));
    Computer computer;
    const fs::path desk = c.earlier ? computer.home / "Tarvic" : computer.desk();
    const auto beside = [&](const std::string& end) { return fs::path(desk.string() + end); };
    const fs::path aside = beside("-previous");
    if (c.desk) writeInstallation(desk, "mine");
    if (c.aside == Aside::older) write(aside / "older", "older\n");
    if (c.aside == Aside::installation) writeInstallation(aside, "aside");
    if (c.unfinishedTaken) write(beside("-unfinished/taken"), "an earlier one\n");
    if (c.marker) write(computer.marker(), std::string("  ") + c.marker + "\n\n");
    const Tree before = snapshot(desk), asideBefore = snapshot(aside);
    const Tree kept = keptItems(c.keptFrom == From::aside ? aside : desk);

    Installer::layDown();

    std::string differs;
    EXPECT_TRUE(c.keptFrom == From::none || contains(keptItems(desk), kept, &differs)) << differs;
    EXPECT_EQ(fs::exists(desk / "presets/factory.json"), c.keptFrom == From::none);
    EXPECT_EQ(read(desk / "VERSION"), "3.1.4 (payload)\n");
    EXPECT_TRUE(fs::exists(desk / (c.earlier ? "Tarvic.app" : "Quendrel.app") / "Contents"));
    EXPECT_FALSE(fs::exists(desk / (c.earlier ? "Quendrel.app" : "Tarvic.app")));
    EXPECT_TRUE(!c.earlier || !fs::exists(computer.desk())) << "nothing in the moved place";
    const std::string goesTo = c.deskGoesTo ? c.deskGoesTo : "";
    if (!goesTo.empty()) {
      EXPECT_EQ(difference(snapshot(beside(goesTo)), before), "") << goesTo;
    }
    if (goesTo != "-previous") {
      EXPECT_EQ(difference(snapshot(aside), asideBefore), "") << "the aside is untouched";
    }
    EXPECT_EQ(fs::exists(beside("-unfinished")), c.unfinishedTaken || goesTo == "-unfinished");
    EXPECT_EQ(read(computer.marker()), "laid\n");
    EXPECT_EQ(keepFolders(computer.temporary()), 0) << "the run's copies are gone";
  }
}

TEST_F(Setup, AnIncompleteCopyTouchesNothing) {
  fs::remove_all(computer.payload);
  Outcome outcome = setUp();
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.message,
            "This copy of Quendrel is incomplete — it has no console inside it. Download it "
            "again.");
  EXPECT_FALSE(fs::exists(computer.marker()));
  EXPECT_FALSE(fs::exists(computer.desk().parent_path()));

  testing_support::pretendMainBundle(computer.home / "Elsewhere.app");
  EXPECT_EQ(setUp().message, outcome.message) << "a bundle without resources";
}

TEST_F(Setup, AFailedCopyIsUnexpectedAndLeavesTheInstallationWhereItWas) {
  const fs::path desk = computer.desk();
  writeInstallation(desk, "mine");
  ASSERT_EQ(mkfifo((desk / "logs/pipe").c_str(), 0600), 0);  // a copy cannot take a FIFO
  const Tree before = snapshot(desk);

  Outcome outcome = setUp();
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.message.starts_with("Something unexpected went wrong: ")) << outcome.message;
  EXPECT_EQ(difference(snapshot(desk), before), "");
  EXPECT_EQ(read(computer.marker()), "keeping\n");
  EXPECT_EQ(keepFolders(computer.temporary()), 0) << "the run's copies do not outlive it";

  // Mended, the next run goes on from there.
  fs::remove(desk / "logs/pipe");
  ASSERT_TRUE(setUp().ok);
}

// What a failing step says (its last lines are the desk's scripts' own tests'), and what it
// leaves: nothing is rolled back, and no later step runs.
TEST_F(Setup, EachFailingStepSaysWhatItSaidAndStopsThere) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> files;  // in the home folder
    const char* message;
    const char* notMade;  // what the step after it would have made, in the home or desk folder
  } cases[] = {
      {{{"setup-fails", "The desk could not be prepared.\n"}},
       "The desk could not be prepared.",
       "pair-arguments"},
      {{{"pair-status", "1"}, {"pair-says", "\n   \n\n"}},
       "That code was not accepted. Codes last an hour and work once — ask for another.",
       "agent-installed"},
      {{{"pair-status", "1"}, {"pair-says", "\n  That code has run out. Ask for another.  \n"}},
       "That code has run out. Ask for another.",
       "agent-installed"},
      {{{"agent-fails", "\n\n"}}, "Starting did not finish.", "agent-installed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    for (const char* name :
         {"setup-fails", "pair-status", "pair-says", "agent-fails", "pair-arguments"}) {
      fs::remove(computer.home / name);
    }
    fs::remove(computer.desk() / "agent-installed");
    for (const auto& [name, content] : c.files) write(computer.home / name, content);
    const Outcome outcome = setUp();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_FALSE(Installer::running);
    EXPECT_EQ(read(computer.marker()), "laid\n") << "the marker stays";
    EXPECT_FALSE(fs::exists(computer.home / c.notMade) || fs::exists(computer.desk() / c.notMade));
  }
}

TEST_F(Setup, AScriptThatCannotStart) {
  // The install folder is the child's working folder; without it nothing starts.
  EXPECT_EQ(failure([] { Installer::shell("setup.sh", "Setting up", {}); }),
            "Setting up could not start: No such file or directory");
  fs::create_directories(computer.desk());
  EXPECT_EQ(failure([] { Installer::pair("123456", ""); }),
            "Could not connect this computer: No such file or directory");
}

TEST(PairingAddress, FollowsTheService) {
  EXPECT_EQ(Installer::pairingAddress("https://service.quendrel.org"),
            "wss://service.quendrel.org/church");
  EXPECT_EQ(Installer::pairingAddress("http://127.0.0.1:8765"), "ws://127.0.0.1:8765/church");
  EXPECT_EQ(Installer::pairingAddress("https://example.org:8443/base/"),
            "wss://example.org:8443/church");
}

TEST_F(Setup, MarkerAndFreeNames) {
  EXPECT_EQ(Installer::reached(), "");
  EXPECT_TRUE(Installer::reach("keeping"));
  EXPECT_EQ(read(computer.marker()), "keeping\n");
  write(computer.marker(), " \t moved\r\n\n");
  EXPECT_EQ(Installer::reached(), "moved");
  write(computer.marker(), "\xc3\x28");
  EXPECT_EQ(Installer::reached(), "") << "not UTF-8";

  const fs::path place = computer.home / "Desk-unfinished";
  EXPECT_EQ(Installer::spare(place), place);
  fs::create_directories(place);
  EXPECT_EQ(Installer::spare(place), computer.home / "Desk-unfinished 2");
  fs::create_symlink("nowhere", computer.home / "Desk-unfinished 2");  // a dangling link counts
  write(computer.home / "Desk-unfinished 4", "");
  EXPECT_EQ(Installer::spare(place), computer.home / "Desk-unfinished 3");
}

TEST_F(Setup, RunsNeverOverlap) {
  ASSERT_EQ(mkfifo((computer.home / "hold").c_str(), 0600), 0);
  std::vector<Outcome> outcomes;  // in the order they came; touched on the main thread only
  auto note = [&outcomes](bool ok, std::string message) {
    Platform::onMain([&outcomes, ok, message] { outcomes.push_back({ok, message}); });
  };
  Installer::run("123456", "v", note);
  ASSERT_TRUE(waitFor([&] { return fs::exists(computer.desk() / "marker-during-setup"); }));

  // A second run in this process is refused and changes nothing, and the first still counts.
  Installer::run("654321", "v", note);
  ASSERT_TRUE(waitFor([&] { return outcomes.size() == 1; }));
  EXPECT_FALSE(outcomes[0].ok);
  EXPECT_EQ(outcomes[0].message, Installer::alreadyUnderWay);
  EXPECT_TRUE(Installer::running) << "the refused run does not end the one under way";

  // So is one from quendrelctl.
  Ran other = computer.ctl({"setup", "654321", "--terms", "v"});
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, Installer::alreadyUnderWay + "\n");
  EXPECT_EQ(read(computer.marker()), "laid\n");

  computer.release();
  ASSERT_TRUE(waitFor([&] { return outcomes.size() == 2 && !Installer::running; }));
  EXPECT_TRUE(outcomes[1].ok) << outcomes[1].message;
  EXPECT_EQ(read(computer.home / "pair-arguments").find("654321"), std::string::npos);
}

TEST_F(Setup, QuendrelctlTakesOnlySixDigitsAndATermsVersion) {
  for (std::string code : {"12345", "1234567", "12a456", "١٢٣٤٥٦", "", " 12345", "12345\n"}) {
    Ran ran = computer.ctl({"setup", code, "--terms", "v"});
    EXPECT_EQ(ran.status, 2) << code;
    EXPECT_EQ(ran.err, "The code must be six digits, like 123456.\n") << code;
    EXPECT_EQ(ran.out, "");
  }
  EXPECT_EQ(computer.ctl({"setup", "123456"}).status, 2) << "no terms";
  EXPECT_FALSE(fs::exists(computer.marker()));
  EXPECT_FALSE(fs::exists(computer.desk().parent_path()));
}

// The note is written (twice over, the same) only for a bundle in an Applications folder, as
// given even when reached through a link, beside an installation that is not a working copy.
TEST_F(Setup, BelongingNotesTheSettledCopyOnly) {
  const fs::path desk = computer.desk(), home = computer.home.path();
  fs::create_directory_symlink(home / "Applications", home / "Apps");
  struct Case {
    const char* name;
    bool desk;
    const char* git;  // a ".git" file, a ".git" folder with a file in it, or none
    fs::path app;
    bool noted;
  } cases[] = {
      {"no installation: nothing at all is made", false, nullptr, computer.app, false},
      {"outside an Applications folder", true, nullptr, home / "Downloads/Quendrel.app", false},
      {"not an application bundle", true, nullptr, home / "Applications/Quendrel", false},
      {"settled", true, nullptr, computer.app, true},
      {"reached through a link", true, nullptr, home / "Apps/Quendrel.app", true},
      {"a working copy", true, ".git", computer.app, false},
      {"a working copy", true, ".git/HEAD", computer.app, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(desk);
    if (c.desk) fs::create_directories(desk);
    if (c.git) write(desk / c.git, "gitdir: elsewhere\n");
    Belonging::record(c.app);
    Belonging::record(c.app);
    EXPECT_EQ(fs::exists(desk), c.desk);
    EXPECT_EQ(Belonging::recorded(), c.noted);
    EXPECT_EQ(read(Belonging::note()), c.noted ? c.app.string() + "\n" : "");
  }
  EXPECT_EQ(Belonging::note(), desk / "data/installed-by-app");
}

namespace {

// A folder of the test's own on the memory file system, gone with the object.
struct Elsewhere {
  fs::path path = fs::path("/dev/shm") / ("quendrel-test-" + std::to_string(getpid()));
  std::error_code made;
  Elsewhere() { fs::create_directories(path, made); }
  ~Elsewhere() { fs::remove_all(path, made); }
};

}  // namespace

// Laying the desk down keeps what the file manager's copy keeps — modes, links and
// modification times — for the payload and for the user's kept work, whether the keep folder
// is on the home folder's file system (the work is moved back) or on another (it is copied).
TEST(LayDown, KeepsTimesAndModesOnOneFileSystemAndAcrossTwo) {
  Elsewhere elsewhere;
  for (bool otherFileSystem : {false, true}) {
    SCOPED_TRACE(otherFileSystem ? "keep folder on another file system" : "one file system");
    Computer computer;
    if (otherFileSystem) {
      if (elsewhere.made) GTEST_SKIP() << "no second file system to keep on";
      setenv("TMPDIR", elsewhere.path.c_str(), 1);
    }
    const fs::path desk = computer.desk();
    writeInstallation(desk, "mine");
    fs::permissions(desk / "projects/Empty", fs::perms(0555));
    const Tree kept = keptItems(desk);
    const auto then = fs::last_write_time(desk / "VERSION") - std::chrono::hours(24 * 3650);
    for (const fs::path& item : {desk / "projects/Easter/take.bin", desk / "projects/Empty",
                                 computer.payload / "setup.sh"}) {
      fs::last_write_time(item, then);
    }

    Installer::layDown();

    std::string differs;
    EXPECT_TRUE(contains(keptItems(desk), kept, &differs)) << differs;
    for (const char* item : {"projects/Easter/take.bin", "projects/Empty", "setup.sh"}) {
      EXPECT_EQ(fs::last_write_time(desk / item), then) << item;
    }
    EXPECT_EQ(fs::status(desk / "projects/Empty").permissions(), fs::perms(0555));
    EXPECT_EQ(keepFolders(otherFileSystem ? elsewhere.path : computer.temporary()), 0);
  }
}
