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
  // The desk is laid before setup.sh, and the marker goes once the run succeeded.
  EXPECT_EQ(std::tuple(read(computer.desk() / "marker-during-setup"),
                       read(computer.desk() / "agent-installed"), fs::exists(computer.marker()),
                       read(Belonging::note())),
            std::tuple("laid\n", "installed\n", false, computer.app.string() + "\n"));
  EXPECT_EQ(Installer::pairingAddress("https://example.org:8443/base/"),
            "wss://example.org:8443/church");
  EXPECT_EQ(Installer::pairingAddress("http://127.0.0.1:8765"), "ws://127.0.0.1:8765/church");
  // A run that starts over puts what it found at the first free name; a dangling link counts.
  const fs::path place = computer.home / "Desk-unfinished";
  fs::create_symlink("nowhere", place);
  EXPECT_EQ(Installer::spare(place), computer.home / "Desk-unfinished 2");
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
    const std::string message = setUp();
    const bool madeNext =
        fs::exists(computer.home / c.notMade) || fs::exists(computer.desk() / c.notMade);
    EXPECT_EQ(std::tuple(message, read(computer.marker()), madeNext),
              std::tuple(c.message, c.marker, false));
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
  EXPECT_EQ(std::tuple(difference(snapshot(desk), before), read(computer.marker()),
                       namesIn(computer.temporary())),
            std::tuple("", "keeping\n", std::vector<std::string>{}))
      << "the installation is where it was and the run's copies do not outlive it";
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
  Ran other = computer.ctl({"setup", "654321", "--terms", "v"});
  EXPECT_EQ(
      std::tuple(outcomes[0], Installer::running, other.status, other.err, read(computer.marker())),
      std::tuple(Installer::alreadyUnderWay, true, 1, Installer::alreadyUnderWay + "\n", "laid\n"))
      << "the refused runs do not end the one under way";
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
    EXPECT_EQ(std::pair(Belonging::recorded(), read(Belonging::note())),
              std::pair(noted, noted ? app.string() + "\n" : ""));
  }
}
