// The security checks: what Quendrel writes to the shared temporary folder is private to the
// user even under an umask of 0 (looked at right after each thing is made there, by cutting the
// flow short at that step); no child process is started through a shell line (every path and
// argument full of shell syntax arrives as it is, and none of it runs); the pairing
// code, the pairing token and the passphrase reach no log, file or error message; and an
// update signed by another key, or not at all, is never put in place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "Faults.h"
#include "desk/Paths.h"
#include "support/LocalServer.h"
#include "support/ScriptedUi.h"
#include "text/Text.h"
#include "update/AppUpdate.h"

using namespace faults_testing;

namespace {

// A copy of Quendrel with quendrelctl in it, whose payload sets up, pairs and uninstalls
// without doing anything (the stand-in Python notes its arguments in ~/said), over an
// installation that holds the pairing credentials.
struct Installed {
  // In a home folder of this name inside the temporary one, when given.
  explicit Installed(const std::string& homeName = "") {
    if (!homeName.empty()) {
      fs::create_directories(home / homeName);
      setenv("HOME", (home / homeName).c_str(), 1);
      app = home / homeName / "Applications/Quendrel.app";
    }
    withCtl(app);
    const fs::path payload = app / "Contents/Resources/payload";
    write(payload / "setup.sh",
          "#!/bin/bash\ncd \"$(dirname \"$0\")\" && mkdir -p .venv/bin && cp python "
          ".venv/bin/python\n",
          0755);
    write(payload / "python", "#!/bin/bash\nprintf '%s\\n' \"$@\" > \"$HOME/said\"\n", 0755);
    write(payload / "agent.sh", "#!/bin/bash\nexit 0\n", 0755);
    write(payload / "uninstall.sh", "#!/bin/bash\necho '✓ Removed the desk.'\n", 0755);
    const fs::path desk = Paths::movedInstall();
    write(desk / "presets/.uplink", "{\"token\": \"a pairing token\"}\n", 0600);
    write(desk / "presets/.access", "cedar meadow whistle\n", 0600);
    write(desk / "projects/Easter/mix.json", "{}\n", 0644);
  }
  Ran ctl(const std::vector<std::string>& args, const Environment& environment = {}) {
    return run(app / "Contents/MacOS/quendrelctl", args, environment);
  }

  Home home;
  fs::path app = home / "Applications/Quendrel.app";
  fs::path shared = home.path().parent_path() / "tmp";  // TMPDIR
};

// The items directly in the folder that others could read, enter or write, or that are not
// ours. Whatever lies deeper is behind one of them.
std::vector<std::string> open(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat s;
    if (lstat(entry.path().c_str(), &s) != 0) continue;
    if ((s.st_mode & 077) != 0 || s.st_uid != getuid()) {
      found.push_back(entry.path().filename().string() + " " + std::to_string(s.st_mode & 07777));
    }
  }
  return found;
}

}  // namespace

TEST(Security, WhatGoesInTheSharedTemporaryFolderIsPrivateEvenUnderAnOpenUmask) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  umask(0);  // for everybody, in this test's own process
  // Each flow as it runs to its end, then cut short right after each thing it makes directly
  // in the temporary folder, and right after the first thing it makes inside one of those.
  const std::vector<std::pair<std::string, std::vector<std::string>>> flows = {
      {"setting up over an installation", {"setup", "123456", "--terms", "2025-04"}},
      {"uninstalling", {"uninstall"}},
  };
  for (const auto& [name, args] : flows) {
    Steps lines;
    {
      Installed computer;
      const fs::path log = computer.home / "steps.log";
      Ran ran = computer.ctl(args, killpoint(computer.shared, 0, log));
      EXPECT_EQ(ran.status, 0) << name << ": " << ran.out << ran.err;
      lines = steps(log, computer.shared);
      EXPECT_TRUE(fs::is_empty(computer.shared)) << name << " leaves nothing behind";
    }
    ASSERT_FALSE(lines.empty()) << name << " makes something in the temporary folder";
    bool inside = false;
    auto made = [&inside](std::size_t, const std::string& step) {
      const bool top = step.find('/') == std::string::npos;
      const bool makes =
          !step.starts_with("remove") && !step.starts_with("rmdir") && !step.starts_with("unlink");
      if (!makes || (!top && inside)) return false;
      inside = inside || !top;
      return true;
    };
    sweep(name + " in the shared temporary folder", lines, made, [&](long at) {
      Installed computer;
      EXPECT_EQ(computer.ctl(args, killpoint(computer.shared, at)).status, 128 + 9);
      EXPECT_FALSE(fs::is_empty(computer.shared));
      EXPECT_EQ(open(computer.shared), std::vector<std::string>{}) << "all private";
    });
  }
}

// A preparation writes nothing anywhere but in the user's own Library, where its staging
// folder is: the image is saved, attached (or laid out) and copied there.
TEST(Security, AnUpdateWritesNothingToTheSharedTemporaryFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  umask(0);  // for everybody, in this test's own process
  Home home;
  const Release release = makeRelease(home.path());
  LocalServer server([&](const std::string& path) {
    return Answer{200, path == "/app/latest" ? release.feed : release.image};
  });
  const fs::path ours = home / "Applications/Quendrel.app";
  makeApp(ours, "1.0", &release.key, server.base());
  // Every change anywhere.
  const fs::path log = home / "steps.log";
  Ran ran = drive({"prepare", ours}, killpoint("/", 0, log));
  ASSERT_EQ(ran.out, "staged\n") << ran.err;
  const auto lines = steps(log, fs::path());
  EXPECT_GE(lines.size(), 10u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.find(home.path().relative_path().string() + "/Library"), line.find(' ') + 1)
        << "only the user's own Library is written: " << line;
  }
  EXPECT_TRUE(fs::is_empty(home.path().parent_path() / "tmp"));
  EXPECT_EQ(fs::status(AppUpdate::staging()).permissions() & fs::perms::all, fs::perms::owner_all)
      << "nobody else may swap the staged copy between its check and its install";
}

// Every path and argument that reaches a child process is full of shell syntax: the home folder
// (so the bundle, its scripts and the desk's folder) and the terms version. Each flow that runs
// a script works, the scripts get their arguments as they were, and no command hidden in them
// runs, wherever it would have run.
TEST(Security, NoChildProcessIsStartedThroughAShellLine) {
  Installed computer("it's \"$(touch pwned1)\"; touch pwned2 `touch pwned3` & |<>*");
  const fs::path home = getenv("HOME");
  const fs::path root = computer.home.path().parent_path();
  ASSERT_EQ(chdir(root.c_str()), 0);  // where a shell line started from here would run
  setenv("QUENDREL_PORT", std::to_string(freePort()).c_str(), 1);

  const std::string terms = "2025'; touch pwned4; echo '$(touch pwned5)";
  Ran setUp = computer.ctl({"setup", "123456", "--terms", terms});
  EXPECT_EQ(setUp.status, 0) << setUp.err;
  const auto said = read(home / "said");
  EXPECT_NE(said.find("\n123456\n" + terms + "\n"), std::string::npos) << said;
  EXPECT_EQ(computer.ctl({"uninstall"}).status, 0);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    EXPECT_EQ(entry.path().filename().string().rfind("pwned", 0), std::string::npos)
        << entry.path();
  }
  ASSERT_EQ(chdir("/"), 0);
}

// The whole road with the reference desk and the stand-in service: a wrong code, the right
// one, the state asked, the passphrase shown and changed, a code used twice, a second setup
// with a new code over the first, a quit and an uninstall. The desk runs, its credentials are
// private and the user's work is kept; only the passphrase commands print the passphrase (that
// is what they are for): nothing else that Quendrel says, and no file but the credentials' own,
// holds a code, a token or a passphrase.
TEST(Security, PairingCredentialsAndThePassphraseReachNoLogFileOrErrorMessage) {
  Home home;
  const fs::path app = home / "Applications/Quendrel.app";
  const int servicePort = freePort();
  const std::string service = "http://127.0.0.1:" + std::to_string(servicePort);
  const std::string code = "731946";
  const fs::path ctl = withCtl(app, service);
  fs::create_directories(app / "Contents/Resources");
  fs::copy(fs::path(SOURCE_ROOT) / "devkit/payload", app / "Contents/Resources/payload",
           fs::copy_options::recursive);
  setenv("QUENDREL_PORT", std::to_string(freePort()).c_str(), 1);
  setenv("DESK_SUPERVISOR", "process", 1);
  // The desk runs once set up; it is stopped however the test ends.
  struct Stopped {
    ~Stopped() {
      const fs::path agent = Paths::install() / "agent.sh";
      if (fs::exists(agent)) run("/bin/bash", {agent.string(), "stop"}, {}, Input::none, 60);
    }
  } stopped;
  Child stand_in(fs::path(SOURCE_ROOT) / "devkit/service",
                 {"--port", std::to_string(servicePort), "--code", code});
  ASSERT_TRUE(spinUntil([&] { return listening(servicePort); }));

  std::vector<std::pair<std::string, Ran>> said;
  auto say = [&](const std::string& what, const std::vector<std::string>& args,
                 const fs::path& program = {}) {
    said.emplace_back(what, run(program.empty() ? ctl : program, args, {}, Input::none, 120));
    return said.back().second;
  };
  const fs::path desk = Paths::movedInstall();
  const fs::path uplink = desk / "presets/.uplink";
  auto token = [&] {
    const std::string text = read(uplink);
    const auto at = text.find("\"token\": \"") + 10;
    return at < 10 ? "" : text.substr(at, text.find('"', at) - at);
  };
  auto running = [&] { return say("the state", {"status"}).out.starts_with("Running"); };

  EXPECT_EQ(say("a wrong code", {"setup", "135791", "--terms", "2025-04"}).status, 1);
  EXPECT_FALSE(fs::exists(uplink));
  Ran setUp = say("setting up", {"setup", code, "--terms", "2025-04"});
  ASSERT_EQ(setUp.status, 0) << setUp.out << setUp.err;
  EXPECT_EQ(fs::status(uplink).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none)
      << "the pairing credentials are private";
  const std::string firstToken = token();
  ASSERT_GE(firstToken.size(), 16u);
  EXPECT_TRUE(running());
  say("in use", {"in-use"});

  // Only the passphrase commands print the passphrase.
  const std::string first = Text::trim(read(desk / "presets/.access"));
  ASSERT_FALSE(first.empty()) << "the running desk made a passphrase";
  EXPECT_EQ(run(ctl, {"passphrase"}).out, first + "\n");
  Ran changed = run(ctl, {"change-passphrase"});
  const std::string second = Text::trim(read(desk / "presets/.access"));
  EXPECT_EQ(changed.out, second + "\n");

  // A code works once; a new one sets up again over the first setup, keeping the user's work.
  EXPECT_EQ(say("a used code", {"setup", code, "--terms", "2025-04"}).status, 1);
  write(desk / "projects/Easter/mix.json", "{\"mine\": true}\n");
  const std::string fresh = Text::trim(
      run("/usr/bin/python3",
          {"-c", "import sys, urllib.request as u; print(u.urlopen(sys.argv[1]).read().decode())",
           service + "/codes/new"})
          .out);
  ASSERT_EQ(fresh.size(), 6u);
  Ran again = say("setting up again", {"setup", fresh, "--terms", "2025-05"});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(read(desk / "projects/Easter/mix.json"), "{\"mine\": true}\n");
  EXPECT_TRUE(running());
  say("quitting", {"--drive", "quit"}, self());

  const std::vector<std::pair<std::string, std::string>> secrets = {
      {"the first code", code},        {"the second code", fresh},
      {"the first token", firstToken}, {"the second token", token()},
      {"the first passphrase", first}, {"the second passphrase", second}};
  // Every file the test's folders hold, but the credentials' own and the desk's Python.
  auto lookThroughFiles = [&] {
    int files = 0;
    for (auto it = fs::recursive_directory_iterator(home.path().parent_path());
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = it->path().filename().string();
      if (name == ".venv" || name == "__pycache__") it.disable_recursion_pending();
      if (!it->is_regular_file() || it->is_symlink() || name == ".uplink" || name == ".access") {
        continue;
      }
      ++files;
      for (const auto& [secretName, secret] : secrets) {
        EXPECT_EQ(read(it->path()).find(secret), std::string::npos)
            << it->path() << " holds " << secretName;
      }
    }
    return files;
  };
  // With the desk laid down and its logs written, then once it is removed.
  const int files = lookThroughFiles();
  EXPECT_TRUE(fs::exists(desk / "logs"));
  say("uninstalling", {"uninstall"});
  const int left = lookThroughFiles();
  for (const auto& [what, ran] : said) {
    for (const auto& [name, secret] : secrets) {
      EXPECT_EQ((ran.out + ran.err).find(secret), std::string::npos)
          << what << " said " << name << ":\n"
          << ran.out << ran.err;
    }
  }
  std::cout << "[ faults   ] credentials looked for in " << said.size() << " outputs and "
            << files + left << " files" << std::endl;
}

// A staged copy that is swapped, after its check, for one signed by another key or by nobody
// is never put in place; the running version stays whole.
TEST(Security, AnUpdateSignedByAnotherKeyOrUnsignedIsNeverInstalled) {
  Home home;
  const Key ours = makeKey(home / "ours.key");
  const Key theirs = makeKey(home / "theirs.key");
  const fs::path app = home / "Applications/Quendrel.app";
  const fs::path staged = AppUpdate::staging() / "Quendrel.app";
  makeApp(app, "1.0", &ours);
  for (const Key* key : std::initializer_list<const Key*>{&theirs, nullptr, &ours}) {
    SCOPED_TRACE(key == &ours ? "the same key" : key ? "another key" : "unsigned");
    fs::remove_all(AppUpdate::staging());
    makeApp(staged, "2.0", key);
    Ran ran = drive({"install", app, staged});
    if (key == &ours) {
      EXPECT_EQ(ran.out, "installed\n") << "the same bytes signed by the same key go in";
      EXPECT_TRUE(whole(app, "2.0", ours));
    } else {
      EXPECT_EQ(ran.out,
                "Could not put the new Quendrel in place: It has changed since it was downloaded "
                "and checked.\n");
      EXPECT_TRUE(whole(app, "1.0", ours));
      EXPECT_EQ(starts(), "") << "nothing was started";
    }
  }
}
