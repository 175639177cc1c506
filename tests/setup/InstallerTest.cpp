// Setting up in this process and through quendrelctl, with a payload of small scripts: laying
// the desk down over what is there, recovering from a run that stopped, the failures, and the
// installation record.
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
TEST_F(Setup, FirstSetupLaysTheDeskDownBeforeTheScriptsAndRecords) {
  write(computer.home / "leave-behind", "");
  EXPECT_EQ(setUp(), "") << "what the pairing printed is not shown";
  EXPECT_EQ(read(computer.desk() / "marker-during-setup"), "laid\n");
  EXPECT_EQ(read(computer.desk() / "agent-installed"), "installed\n");
  EXPECT_FALSE(fs::exists(computer.marker())) << "the marker goes once the run succeeded";
  EXPECT_EQ(read(Belonging::note()), computer.app.string() + "\n");
  EXPECT_EQ(Installer::pairingAddress("https://example.org:8443/base/"),
            "wss://example.org:8443/church");
  EXPECT_EQ(Installer::pairingAddress("http://127.0.0.1:8765"), "ws://127.0.0.1:8765/church");
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
    From keptFrom;
    const char* deskGoesTo;  // the end of its new name; none when there was none
    bool keepElsewhere = false;
  } cases[] = {
      {nullptr, false, false, Aside::none, From::none, nullptr},  // a first setup
      {"moved", false, true, Aside::installation, From::aside, "-unfinished 2"},
      {"fresh", false, true, Aside::installation, From::none, "-unfinished"},
      {"fresh and more", false, true, Aside::older, From::desk, "-previous"},
      {nullptr, false, true, Aside::older, From::desk, "-previous", true},
      {"moved", false, true, Aside::none, From::desk, "-previous"},
      {nullptr, true, true, Aside::none, From::desk, "-previous"},
      {"moved", true, false, Aside::installation, From::aside, nullptr},
  };
  const fs::path shm = fs::path("/dev/shm") / ("quendrel-test-" + std::to_string(getpid()));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("marker: ") + (c.marker ? c.marker : "none") +
                 (c.earlier ? ", earlier layout" : "") + (c.keepElsewhere ? ", keep in shm" : ""));
    Computer computer;
    if (c.keepElsewhere) {
      if (!fs::create_directories(shm)) GTEST_SKIP() << "no second file system to keep on";
      setenv("TMPDIR", shm.c_str(), 1);
    }
    const fs::path desk = c.earlier ? computer.home / "Tarvic" : computer.desk();
    const auto beside = [&](const std::string& end) { return fs::path(desk.string() + end); };
    const fs::path aside = beside("-previous"), from = c.keptFrom == From::aside ? aside : desk;
    if (c.desk) writeInstallation(desk);
    if (c.aside == Aside::older) write(aside / "older", "older\n");
    if (c.aside == Aside::installation) writeInstallation(aside, "aside");
    const std::string goesTo = c.deskGoesTo ? c.deskGoesTo : "";
    if (goesTo == "-unfinished 2") fs::create_symlink("nowhere", beside("-unfinished"));
    if (c.marker) write(computer.marker(), std::string("  ") + c.marker + "\n\n");
    const auto then = fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650);
    for (const fs::path& item : {from / "projects/Empty", computer.payload / "setup.sh"}) {
      if (fs::exists(item)) fs::last_write_time(item, then);
    }
    if (c.keptFrom != From::none) fs::permissions(from / "projects/Empty", fs::perms(0555));
    const Tree before = snapshot(desk), asideBefore = snapshot(aside), kept = keptItems(from);

    Installer::layDown();

    std::string differs;
    EXPECT_TRUE(c.keptFrom == From::none || contains(keptItems(desk), kept, &differs)) << differs;
    for (const char* item : {"projects/Empty", "setup.sh"}) {
      EXPECT_TRUE(!fs::exists(desk / item) || fs::last_write_time(desk / item) == then) << item;
    }
    EXPECT_EQ(fs::exists(desk / "presets/factory.json"), c.keptFrom == From::none);
    EXPECT_EQ(read(desk / "VERSION"), payloadVersion);
    EXPECT_EQ(fs::exists(desk / "Tarvic.app/Contents"), c.earlier);
    EXPECT_EQ(fs::exists(desk / "Quendrel.app/Contents"), !c.earlier);
    EXPECT_TRUE(!c.earlier || !fs::exists(computer.desk())) << "nothing in the moved place";
    if (!goesTo.empty()) {
      EXPECT_EQ(difference(snapshot(beside(goesTo)), before), "") << goesTo;
    }
    if (goesTo != "-previous") {
      EXPECT_EQ(difference(snapshot(aside), asideBefore), "") << "the aside is untouched";
    }
    EXPECT_EQ(fs::is_symlink(beside("-unfinished")), goesTo == "-unfinished 2");
    EXPECT_EQ(read(computer.marker()), "laid\n");
    EXPECT_EQ(namesIn(c.keepElsewhere ? shm : computer.temporary()), std::vector<std::string>{});
    if (c.keepElsewhere) fs::remove_all(shm);
  }
}

// What a failing step says (setup.sh's last lines are the desk's scripts' own tests'), and
// what it leaves: nothing is rolled back, and no later step runs.
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
  EXPECT_EQ(namesIn(computer.temporary()), std::vector<std::string>{}) << "no copies outlive it";
  fs::remove(desk / "logs/pipe");
  EXPECT_EQ(setUp(), "") << "mended, the next run goes on from there";
}

TEST_F(Setup, RunsNeverOverlapAndQuendrelctlTakesOnlySixDigits) {
  for (std::string code : {"12345", "12a456"}) {
    Ran ran = computer.ctl({"setup", code, "--terms", "v"});
    EXPECT_EQ(std::tuple(ran.status, ran.out, ran.err),
              std::tuple(2, "", "The code must be six digits, like 123456.\n"));
  }
  EXPECT_FALSE(fs::exists(computer.desk().parent_path())) << "nothing is made for a wrong code";

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

// The note is written (twice over, the same) only for a bundle in an Applications folder, as
// given even when reached through a link, beside an installation that is not a working copy.
TEST_F(Setup, BelongingNotesTheSettledCopyOnly) {
  const fs::path desk = computer.desk(), home = computer.home.path();
  fs::create_directory_symlink(home / "Applications", home / "Apps");
  Belonging::record(computer.app);
  EXPECT_FALSE(fs::exists(desk)) << "without an installation nothing at all is made";
  const std::tuple<const char*, fs::path, bool> cases[] = {
      {"outside an Applications folder", home / "Downloads/Quendrel.app", false},
      {"not an application bundle", home / "Applications/Quendrel", false},
      {"reached through a link", home / "Apps/Quendrel.app", true},
      {"a working copy", computer.app, false},
  };
  for (const auto& [name, app, noted] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(desk);
    fs::create_directories(desk);
    if (app == computer.app) write(desk / ".git", "gitdir: elsewhere\n");
    Belonging::record(app);
    Belonging::record(app);
    EXPECT_EQ(Belonging::recorded(), noted);
    EXPECT_EQ(read(Belonging::note()), noted ? app.string() + "\n" : "");
  }
}
