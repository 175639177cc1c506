// Setting up in this process and through quendrelctl, with a payload of small scripts: laying
// the desk down over what is there, recovering from a run that stopped, the scripts' and the
// pairing's failures, and the installation record.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SetupFixture.h"
#include "setup/Belonging.h"

using namespace setup_testing;

namespace {

class Setup : public ::testing::Test {
 protected:
  Platform::EventLoop loop{argc, argv};
  Computer computer;
};

}  // namespace

// setup.sh leaves a background process holding its output: the run goes on when the script
// itself has exited and finishes without waiting for that process.
TEST_F(Setup, FirstSetupLaysTheDeskDownPairsStartsAndRecords) {
  write(computer.home / "leave-behind", "");
  EXPECT_EQ(setUp("123456", "2025-04"), "") << "what the pairing printed is not shown";
  const fs::path desk = computer.desk();
  EXPECT_EQ(read(desk / "VERSION"), payloadVersion);
  EXPECT_EQ(read(desk / "agent-installed"), "installed\n");
  EXPECT_EQ(read(desk / "marker-during-setup"), "laid\n") << "the desk is laid before setup.sh";
  EXPECT_FALSE(fs::exists(computer.marker())) << "the marker goes once the run succeeded";
  // The payload's Python pairs in the desk's folder with the service's pairing address.
  EXPECT_EQ(computer.pairing(), (std::vector<std::string>{desk, "-c", Installer::pairingScript(),
                                                          "123456", "2025-04"}));
  EXPECT_NE(Installer::pairingScript().find("'ws://127.0.0.1:8765/church'"), std::string::npos);
  EXPECT_EQ(read(Belonging::note()), computer.app.string() + "\n");
}

// Laying down after a run that stopped, or over an installation, in either layout, by what the
// marker says and what is on disk: the kept items come byte for byte, with their modes, links
// and times, from the install folder, its aside or nowhere, whether the keep folder is on the
// home folder's file system (moved back) or another (copied); the install folder becomes the
// aside or goes to the next free unfinished name. The earlier layout keeps its places and the
// old application's name.
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
    bool keepElsewhere = false;
  } cases[] = {
      {nullptr, false, false, Aside::none, false, From::none, nullptr},  // a first setup
      {"moved", false, true, Aside::installation, true, From::aside, "-unfinished 2"},
      {"fresh", false, true, Aside::installation, false, From::none, "-unfinished"},
      {"laid", false, true, Aside::older, false, From::desk, "-previous"},
      {nullptr, false, true, Aside::older, false, From::desk, "-previous", true},
      {"moved", false, true, Aside::none, false, From::desk, "-previous"},
      {"fresh and more", false, true, Aside::older, false, From::desk, "-previous"},
      {nullptr, true, true, Aside::none, false, From::desk, "-previous"},
      {"moved", true, false, Aside::installation, false, From::aside, nullptr},
  };
  const fs::path elsewhere = fs::path("/dev/shm") / ("quendrel-test-" + std::to_string(getpid()));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("marker: ") + (c.marker ? c.marker : "none") +
                 (c.earlier ? ", earlier layout" : "") + (c.keepElsewhere ? ", keep in shm" : ""));
    Computer computer;
    if (c.keepElsewhere) {
      if (!fs::create_directories(elsewhere)) GTEST_SKIP() << "no second file system to keep on";
      setenv("TMPDIR", elsewhere.c_str(), 1);
    }
    const fs::path desk = c.earlier ? computer.home / "Tarvic" : computer.desk();
    const auto beside = [&](const std::string& end) { return fs::path(desk.string() + end); };
    const fs::path aside = beside("-previous"), from = c.keptFrom == From::aside ? aside : desk;
    if (c.desk) writeInstallation(desk);
    if (c.aside == Aside::older) write(aside / "older", "older\n");
    if (c.aside == Aside::installation) writeInstallation(aside, "aside");
    if (c.unfinishedTaken) write(beside("-unfinished/taken"), "an earlier one\n");
    if (c.marker) write(computer.marker(), std::string("  ") + c.marker + "\n\n");
    const auto then = fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650);
    const fs::path timed[] = {from / "projects/Easter/take.bin", from / "projects/Empty",
                              computer.payload / "setup.sh"};
    for (const fs::path& item : timed) {
      if (fs::exists(item)) fs::last_write_time(item, then);
    }
    if (c.keptFrom != From::none) fs::permissions(from / "projects/Empty", fs::perms(0555));
    const Tree before = snapshot(desk), asideBefore = snapshot(aside), kept = keptItems(from);

    Installer::layDown();

    std::string differs;
    EXPECT_TRUE(c.keptFrom == From::none || contains(keptItems(desk), kept, &differs)) << differs;
    for (const char* item : {"projects/Easter/take.bin", "projects/Empty", "setup.sh"}) {
      EXPECT_TRUE(!fs::exists(desk / item) || fs::last_write_time(desk / item) == then) << item;
    }
    EXPECT_EQ(fs::exists(desk / "presets/factory.json"), c.keptFrom == From::none);
    EXPECT_EQ(read(desk / "VERSION"), payloadVersion);
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
    EXPECT_EQ(keepFolders(c.keepElsewhere ? elsewhere : computer.temporary()), 0);
    if (c.keepElsewhere) fs::remove_all(elsewhere);
  }
}

// What a failing step says (a script's last lines are the desk's scripts' own tests'), and what
// it leaves: nothing is rolled back, and no later step runs.
TEST(Failing, EachStepSaysWhatWentWrongAndStopsThere) {
  Platform::EventLoop loop{argc, argv};
  struct Case {
    std::vector<std::pair<const char*, const char*>> files;  // in the home folder
    const char* message;
    const char* marker;   // what the marker says afterwards
    const char* notMade;  // what would have been made after it, in the home or desk folder
  } cases[] = {
      {{{"no-payload", ""}},
       "This copy of Quendrel is incomplete — it has no console inside it. Download it again.",
       "",
       "Library"},
      {{{"setup-fails", "The desk could not be prepared.\n"}},
       "The desk could not be prepared.",
       "laid\n",
       "pair-arguments"},
      {{{"pair-status", "1"}, {"pair-says", "\n   \n\n"}},
       "That code was not accepted. Codes last an hour and work once — ask for another.",
       "laid\n",
       "agent-installed"},
      {{{"pair-status", "1"}, {"pair-says", "\n  That code has run out. Ask for another.  \n"}},
       "That code has run out. Ask for another.",
       "laid\n",
       "agent-installed"},
      {{{"agent-fails", "\n\n"}}, "Starting did not finish.", "laid\n", "data/installed-by-app"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Computer computer;
    for (const auto& [name, content] : c.files) write(computer.home / name, content);
    if (fs::exists(computer.home / "no-payload")) fs::remove_all(computer.payload);
    EXPECT_EQ(setUp(), c.message);
    EXPECT_EQ(read(computer.marker()), c.marker);
    EXPECT_FALSE(fs::exists(computer.home / c.notMade) || fs::exists(computer.desk() / c.notMade));
  }
  // The install folder is the child's working folder; without it nothing starts.
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
}

TEST_F(Setup, AFailedCopyIsUnexpectedAndLeavesTheInstallationWhereItWas) {
  const fs::path desk = computer.desk();
  writeInstallation(desk);
  ASSERT_EQ(mkfifo((desk / "logs/pipe").c_str(), 0600), 0);  // a copy cannot take a FIFO
  const Tree before = snapshot(desk);
  EXPECT_TRUE(setUp().starts_with("Something unexpected went wrong: "));
  EXPECT_EQ(difference(snapshot(desk), before), "");
  EXPECT_EQ(read(computer.marker()), "keeping\n");
  EXPECT_EQ(keepFolders(computer.temporary()), 0) << "the run's copies do not outlive it";
  fs::remove(desk / "logs/pipe");
  EXPECT_EQ(setUp(), "") << "mended, the next run goes on from there";
}

TEST_F(Setup, PairingAddressMarkerAndFreeNames) {
  EXPECT_EQ(Installer::pairingAddress("https://example.org:8443/base/"),
            "wss://example.org:8443/church");
  EXPECT_EQ(Installer::pairingAddress("http://127.0.0.1:8765"), "ws://127.0.0.1:8765/church");
  write(computer.marker(), " \t moved\r\n\n");
  EXPECT_EQ(Installer::reached(), "moved");
  write(computer.marker(), "\xc3\x28");
  EXPECT_EQ(Installer::reached(), "") << "not UTF-8";

  const fs::path place = computer.home / "Desk-unfinished";
  EXPECT_EQ(Installer::spare(place), place);
  fs::create_directories(place);
  fs::create_symlink("nowhere", computer.home / "Desk-unfinished 2");  // a dangling link counts
  write(computer.home / "Desk-unfinished 4", "");
  EXPECT_EQ(Installer::spare(place), computer.home / "Desk-unfinished 3");
}

TEST_F(Setup, RunsNeverOverlap) {
  ASSERT_EQ(mkfifo((computer.home / "hold").c_str(), 0600), 0);
  std::vector<std::string> outcomes;  // in the order they came; touched on the main thread only
  auto note = [&outcomes](bool ok, std::string message) {
    Platform::onMain([&outcomes, ok, message] { outcomes.push_back(ok ? "ok" : message); });
  };
  Installer::run("123456", "v", note);
  ASSERT_TRUE(waitFor([&] { return fs::exists(computer.desk() / "marker-during-setup"); }));

  // A second run in this process is refused and changes nothing, and the first still counts;
  // so is one from quendrelctl.
  Installer::run("654321", "v", note);
  ASSERT_TRUE(waitFor([&] { return outcomes.size() == 1; }));
  EXPECT_EQ(outcomes[0], Installer::alreadyUnderWay);
  EXPECT_TRUE(Installer::running) << "the refused run does not end the one under way";
  Ran other = computer.ctl({"setup", "654321", "--terms", "v"});
  EXPECT_EQ(std::tuple(other.status, other.err), std::tuple(1, Installer::alreadyUnderWay + "\n"));
  EXPECT_EQ(read(computer.marker()), "laid\n");

  computer.release();
  ASSERT_TRUE(waitFor([&] { return outcomes.size() == 2 && !Installer::running; }));
  EXPECT_EQ(outcomes[1], "ok");
  EXPECT_EQ(computer.paired(), (std::vector<std::string>{"123456", "v"}));
}

TEST_F(Setup, QuendrelctlTakesOnlySixDigits) {
  for (std::string code : {"12345", "12a456"}) {
    Ran ran = computer.ctl({"setup", code, "--terms", "v"});
    EXPECT_EQ(std::tuple(ran.status, ran.out, ran.err),
              std::tuple(2, "", "The code must be six digits, like 123456.\n"));
  }
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
    bool git;
    fs::path app;
    bool noted;
  } cases[] = {
      {"no installation: nothing at all is made", false, false, computer.app, false},
      {"outside an Applications folder", true, false, home / "Downloads/Quendrel.app", false},
      {"not an application bundle", true, false, home / "Applications/Quendrel", false},
      {"reached through a link", true, false, home / "Apps/Quendrel.app", true},
      {"a working copy", true, true, computer.app, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(desk);
    if (c.desk) fs::create_directories(desk);
    if (c.git) write(desk / ".git", "gitdir: elsewhere\n");
    Belonging::record(c.app);
    Belonging::record(c.app);
    EXPECT_EQ(fs::exists(desk), c.desk);
    EXPECT_EQ(Belonging::recorded(), c.noted);
    EXPECT_EQ(read(desk / "data/installed-by-app"), c.noted ? c.app.string() + "\n" : "");
  }
}
