// Security checks (the two about updates are with the update's faults): what Quendrel writes
// to the shared temporary folder is private to the user even under an umask of 0 (looked at
// right after each thing is made there, by cutting the flow short at that step); no child
// process is started through a shell line (every path and argument full of shell syntax
// arrives as it is, and none of it runs); and the pairing code, the pairing token and the
// passphrase reach no log, file or error message.
//
// The desk's setup script misbehaving — waiting for an answer on its input, printing
// megabytes, printing bytes that are not UTF-8 — and failing. Quendrel's own input is a pipe
// that stays open and silent, as a terminal nobody types at. Setting up ends once the script
// has, and says the script's last three lines, or that it did not finish when its output is
// no text. (Changing the passphrase and uninstalling show their scripts' lines in their own
// tests; every script runs the same way, so one flow shows the input is not passed on.)

#include "Faults.h"
#include "desk/Paths.h"
#include "text/Text.h"

using namespace faults_testing;

namespace {

// quendrelctl in a copy of Quendrel in a home folder of this name inside the temporary one,
// whose payload sets up, pairs and uninstalls without doing anything (the stand-in Python
// notes its arguments in ~/said), over an installation that holds the pairing credentials.
struct Installed {
  explicit Installed(const std::string& name = "")
      : ctl(withCtl(home / name / "Applications/Quendrel.app")) {
    if (!name.empty()) setenv("HOME", (home / name).c_str(), 1);
    const fs::path payload = ctl.parent_path().parent_path() / "Resources/payload";
    const fs::path desk = Paths::movedInstall();
    write(payload / "setup.sh",
          "#!/bin/bash\ncd \"$(dirname \"$0\")\" && mkdir -p .venv/bin && cp python .venv/bin/\n",
          0755);
    write(payload / "python", "#!/bin/bash\nprintf '%s\\n' \"$@\" > \"$HOME/said\"\n", 0755);
    write(payload / "agent.sh", "#!/bin/bash\nexit 0\n", 0755);
    write(payload / "uninstall.sh", "#!/bin/bash\necho '✓ Removed the desk.'\n", 0755);
    write(desk / "presets/.uplink", "{\"token\": \"a pairing token\"}\n", 0600);
    write(desk / "presets/.access", "cedar meadow whistle\n", 0600);
    write(desk / "projects/Easter/mix.json", "{}\n", 0644);
  }

  Home home;
  fs::path ctl, shared = home.path().parent_path() / "tmp";  // TMPDIR
};

}  // namespace

TEST(Security, WhatGoesInTheSharedTemporaryFolderIsPrivateEvenUnderAnOpenUmask) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  umask(0);  // for everybody, in this test's own process
  // Each flow as it runs to its end, then cut short right after each thing it makes directly
  // in the temporary folder, and right after the first thing it makes inside one of those.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"setup", "123456", "--terms", "2025-04"}, {"uninstall"}}) {
    Steps lines;
    {
      Installed computer;
      const fs::path log = computer.home / "steps.log";
      EXPECT_EQ(run(computer.ctl, args, killpoint(computer.shared, 0, log)).status, 0) << args[0];
      lines = steps(log, computer.shared);
      EXPECT_TRUE(fs::is_empty(computer.shared)) << args[0] << " leaves nothing behind";
    }
    ASSERT_FALSE(lines.empty()) << args[0] << " makes something in the temporary folder";
    auto made = [inside = false](std::size_t, const std::string& step) mutable {
      const bool top = step.find('/') == std::string::npos,
                 removes = step.starts_with("remove") || step.starts_with("rmdir") ||
                           step.starts_with("unlink"),
                 chosen = !removes && (top || !inside);
      inside = inside || (chosen && !top);
      return chosen;
    };
    sweep(args[0] + " in the shared temporary folder", lines, made, [&](long at) {
      Installed computer;
      EXPECT_EQ(run(computer.ctl, args, killpoint(computer.shared, at)).status, 128 + 9);
      EXPECT_FALSE(fs::is_empty(computer.shared));
      for (const auto& entry : fs::directory_iterator(computer.shared)) {
        struct stat s;
        EXPECT_TRUE(lstat(entry.path().c_str(), &s) == 0 && (s.st_mode & 077) == 0 &&
                    s.st_uid == getuid())
            << entry.path() << " has mode " << (s.st_mode & 07777);
      }
    });
  }
}

// Every path and argument that reaches a child process is full of shell syntax: the home folder
// (so the bundle, its scripts and the desk's folder) and the terms version. Each flow that runs
// a script works, the scripts get their arguments as they were, and no command hidden in them
// runs, wherever it would have run.
TEST(Security, NoChildProcessIsStartedThroughAShellLine) {
  Installed computer("it's \"$(touch pwned1)\"; touch pwned2 `touch pwned3` & |<>*");
  const fs::path root = computer.home.path().parent_path();
  ASSERT_EQ(chdir(root.c_str()), 0);  // where a shell line started from here would run
  setenv("QUENDREL_PORT", std::to_string(freePort()).c_str(), 1);
  const std::string terms = "2025'; touch pwned4; echo '$(touch pwned5)";
  EXPECT_EQ(run(computer.ctl, {"setup", "123456", "--terms", terms}).status, 0);
  const std::string said = read(fs::path(getenv("HOME")) / "said");
  EXPECT_NE(said.find("\n123456\n" + terms + "\n"), std::string::npos) << said;
  EXPECT_EQ(run(computer.ctl, {"uninstall"}).status, 0);
  for (const auto& entry : fs::recursive_directory_iterator(root))
    EXPECT_FALSE(entry.path().filename().string().starts_with("pwned")) << entry.path();
  ASSERT_EQ(chdir("/"), 0);
}

// The whole road with the reference desk and the stand-in service: a wrong code, the right
// one, the state asked, the passphrase shown and changed, a code used twice, a fresh code that
// pairs again (a new token) and an uninstall. Only the passphrase commands print the passphrase
// (that is what they are for): nothing else that Quendrel says, and no file but the
// credentials' own, holds a code, a token or a passphrase; and the credentials are private.
TEST(Security, PairingCredentialsAndThePassphraseReachNoLogFileOrErrorMessage) {
  Home home;
  const fs::path app = home / "Applications/Quendrel.app", desk = Paths::movedInstall();
  const int port = freePort();
  const std::string service = "http://127.0.0.1:" + std::to_string(port), code = "731946";
  const fs::path ctl = withCtl(app, service);
  fs::create_directories(app / "Contents/Resources");
  fs::copy(fs::path(SOURCE_ROOT) / "devkit/payload", app / "Contents/Resources/payload",
           fs::copy_options::recursive);
  setenv("QUENDREL_PORT", std::to_string(freePort()).c_str(), 1);
  setenv("DESK_SUPERVISOR", "process", 1);
  // The desk runs once set up; it is stopped however the test ends.
  struct Stopped {
    ~Stopped() { run("/bin/bash", {Paths::install() / "agent.sh", "stop"}, {}, Input::none, 60); }
  } stopped;
  Child stand_in(fs::path(SOURCE_ROOT) / "devkit/service",
                 {"--port", std::to_string(port), "--code", code});
  ASSERT_TRUE(spinUntil([&] { return listening(port); }));

  std::string seen;  // all that quendrelctl said but for the passphrase commands, then the files
  auto say = [&](const std::vector<std::string>& args) {
    Ran ran = run(ctl, args, {}, Input::none, 120);
    seen += ran.out + ran.err;
    return ran;
  };
  std::vector<std::string> secrets = {code};
  auto token = [&] {
    const std::string uplink = read(desk / "presets/.uplink");
    const auto at = uplink.find("\"token\": \"") + 10;
    return secrets.emplace_back(uplink.substr(at, uplink.find('"', at) - at));
  };
  auto passphrase = [&] {
    return secrets.emplace_back(Text::trim(read(desk / "presets/.access")));
  };
  EXPECT_EQ(say({"setup", "135791", "--terms", "2025-04"}).status, 1) << "a wrong code";
  EXPECT_FALSE(fs::exists(desk / "presets/.uplink")) << "a wrong code pairs nothing";
  ASSERT_EQ(say({"setup", code, "--terms", "2025-04"}).status, 0);
  ASSERT_GE(token().size(), 16u);
  EXPECT_EQ(fs::status(desk / "presets/.uplink").permissions() & fs::perms(077), fs::perms::none);
  EXPECT_TRUE(say({"status"}).out.starts_with("Running"));
  say({"in-use"});
  EXPECT_EQ(run(ctl, {"passphrase"}).out, passphrase() + "\n");
  const std::string changed = run(ctl, {"change-passphrase"}).out;
  EXPECT_EQ(changed, passphrase() + "\n");
  EXPECT_EQ(say({"setup", code, "--terms", "2025-04"}).status, 1) << "a code works once";
  // A fresh code pairs again over the first setup, with a token of its own.
  const std::string fresh = secrets.emplace_back(Text::trim(
      run("/usr/bin/python3",
          {"-c", "import sys, urllib.request as u; print(u.urlopen(sys.argv[1]).read().decode())",
           service + "/codes/new"})
          .out));
  ASSERT_EQ(fresh.size(), 6u);
  EXPECT_EQ(say({"setup", fresh, "--terms", "2025-05"}).status, 0);
  EXPECT_GE(token().size(), 16u);

  // Every file the test's folders hold, but the credentials' own and the desk's Python: with
  // the desk laid down and its logs written, then once it is removed.
  auto lookThroughFiles = [&] {
    for (auto it = fs::recursive_directory_iterator(home.path().parent_path());
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = it->path().filename().string();
      if (name == ".venv" || name == "__pycache__") it.disable_recursion_pending();
      if (it->is_regular_file() && name != ".uplink" && name != ".access")
        seen += it->path().string() + ":\n" + read(it->path());
    }
  };
  EXPECT_TRUE(fs::exists(desk / "logs"));
  lookThroughFiles();
  say({"uninstall"});
  lookThroughFiles();
  for (const auto& secret : secrets) {
    const auto at = seen.find(secret);
    EXPECT_EQ(at, std::string::npos)
        << secret << " in " << seen.substr(at - std::min(at, 300ul), 400);
  }
}

TEST(DeskScripts, SettingUpEndsWithItsScriptAndSaysWhatItSaid) {
  Home home;
  const fs::path app = home / "Applications/Quendrel.app", ctl = withCtl(app);
  for (const auto& [script, said] :
       {std::pair{"read -r answer\nyes 'a line of progress' | head -c 2000000\n"
                  "printf '\\nnobody answered%s\\n\\nstill here\\ngiving up\\n' \"$answer\"\n",
                  "nobody answered still here giving up\n"},
        {"printf 'caf\\xe9\\n\\xff\\xfe\\nthree\\n'\n", "Setting up did not finish.\n"}}) {
    write(app / "Contents/Resources/payload/setup.sh",
          std::string("#!/bin/bash\n") + script + "exit 1\n", 0755);
    // Far beyond what the script takes: only a flow that hangs goes past the guard.
    Ran ran = run(ctl, {"setup", "123456", "--terms", "2025-04"}, {}, Input::quiet, 30);
    EXPECT_EQ(std::tuple(ran.hung, ran.status, ran.err), std::tuple(false, 1, std::string(said)));
  }
}
