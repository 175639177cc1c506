// The security checks: what Quendrel writes to the shared temporary folder is private to the
// user even under an umask of 0 (looked at right after each thing is made there, by cutting the
// flow short at that step); no child process is started through a shell line; the pairing
// code, the pairing token and the passphrase reach no log, file or error message; and an
// update signed by another key, or not at all, is never put in place.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

#include "Faults.h"
#include "desk/Paths.h"
#include "signing/CodeSign.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "text/Text.h"
#include "update/AppUpdate.h"

using namespace faults_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::write;

namespace {

// Sets the process's umask for the life of the object.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(umask(mask)) {}
  ~Umask() { umask(old_); }
  Umask(const Umask&) = delete;
  Umask& operator=(const Umask&) = delete;

 private:
  mode_t old_;
};

// A copy of Quendrel with quendrelctl in it, whose payload sets up, pairs and uninstalls
// without doing anything, over an installation that holds the pairing credentials.
struct Installed {
  Installed() {
    testing_support::makeBundle(app, "com.quendrel.manager", "1.0", "1", "http://127.0.0.1:9");
    fs::copy_file(QUENDRELCTL, app / "Contents/MacOS/quendrelctl");
    const fs::path payload = app / "Contents/Resources/payload";
    write(payload / "setup.sh",
          "#!/bin/bash\nmkdir -p .venv/bin\nprintf '#!/bin/bash\\nexit 0\\n' > .venv/bin/python\n"
          "chmod 0755 .venv/bin/python\n",
          0755);
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

  OriginalTemporary temporary;
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

bool isEmpty(const fs::path& folder) {
  return fs::is_empty(folder);
}

// Whether something listens on the port of 127.0.0.1.
bool listening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

TEST(Security, WhatGoesInTheSharedTemporaryFolderIsPrivateEvenUnderAnOpenUmask) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  Umask everybody(0);
  int tried = 0, held = 0;
  // Each flow as it runs to its end, then cut short right after each thing it makes directly
  // in the temporary folder, and right after the first thing it makes inside one of those.
  const std::vector<std::pair<std::string, std::vector<std::string>>> flows = {
      {"setting up over an installation", {"setup", "123456", "--terms", "2025-04"}},
      {"uninstalling", {"uninstall"}},
  };
  for (const auto& [name, args] : flows) {
    std::vector<std::string> lines;
    {
      Installed computer;
      const fs::path log = computer.home / "steps.log";
      Ran ran = computer.ctl(args, killpoint(computer.shared, 0, log));
      EXPECT_EQ(ran.status, 0) << name << ": " << ran.out << ran.err;
      lines = steps(log, computer.shared);
      EXPECT_TRUE(isEmpty(computer.shared)) << name << " leaves nothing behind";
    }
    ASSERT_FALSE(lines.empty()) << name << " makes something in the temporary folder";
    bool inside = false;
    for (long at = 1; at <= static_cast<long>(lines.size()); ++at) {
      const bool top = lines[at - 1].find('/') == std::string::npos;
      const bool makes = lines[at - 1].rfind("remove", 0) != 0 &&
                         lines[at - 1].rfind("rmdir", 0) != 0 &&
                         lines[at - 1].rfind("unlink", 0) != 0;
      if (!makes || (!top && inside)) continue;
      inside = inside || !top;
      SCOPED_TRACE(name + ", cut short after " + lines[at - 1]);
      const int failed = failures();
      Installed computer;
      Ran killed = computer.ctl(args, killpoint(computer.shared, at));
      EXPECT_EQ(killed.status, 128 + 9);
      EXPECT_FALSE(isEmpty(computer.shared));
      EXPECT_EQ(open(computer.shared), std::vector<std::string>{});
      ++tried;
      if (failures() == failed) ++held;
    }
  }
  report("things made in the shared temporary folder", tried, held, "private");
  EXPECT_EQ(held, tried);
}

// A preparation writes nothing anywhere but in the user's own Library, where its staging
// folder is: the image is saved, attached (or laid out) and copied there.
TEST(Security, AnUpdateWritesNothingToTheSharedTemporaryFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded library cannot go before a sanitizer's runtime";
  Umask everybody(0);
  OriginalTemporary temporary;
  Home home;
  const Release release = makeRelease(home.path());
  testing_support::LocalServer server([&](const std::string& path) {
    if (path == "/app/latest") return testing_support::Answer{200, release.feed};
    return testing_support::Answer{200, release.image};
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
  EXPECT_TRUE(isEmpty(home.path().parent_path() / "tmp"));
  EXPECT_EQ(fs::status(AppUpdate::staging()).permissions() & fs::perms::all, fs::perms::owner_all)
      << "nobody else may swap the staged copy between its check and its install";
}

// Every place in the sources that could start a program: only the platform's process
// functions do, from an argument vector; the one "-c" is Python's, given the pairing script
// as one argument and the code and terms as arguments of their own.
TEST(Security, NoChildProcessIsStartedThroughAShellLine) {
  const std::regex forbidden(
      R"(\b(system|popen|execl|execlp|execle|execv|execvp|execvpe|execve|fork|vfork|posix_spawnp?|wordexp|startCommand|startDetached|g_spawn_command_line_\w+)\s*\()"
      R"(|"/bin/sh"|"sh"|"/usr/bin/env")");
  // A process started from one text, which Qt would split as a shell does.
  const std::regex singleArgumentStart(
      R"([Pp]rocess\w*\s*(\.|->)\s*start\(\s*[^,()]*(\([^()]*\))?[^,()]*\))");
  int files = 0;
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(SOURCE_ROOT) / "src")) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), SOURCE_ROOT).string();
    const std::string code = read(entry.path());
    ++files;
    std::istringstream lines(code);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
      const std::string where = relative + ":" + std::to_string(number) + ": " + line;
      const bool comment = Text::trim(line).rfind("//", 0) == 0;
      if (comment) continue;
      if (relative != "src/platform/Process.cpp" && std::regex_search(line, forbidden)) {
        found.push_back(where);
      }
      if (line.find("\"-c\"") != std::string::npos &&
          !(relative == "src/setup/Installer.cpp" &&
            code.find("\".venv/bin/python\"") != std::string::npos)) {
        found.push_back(where);
      }
      if (code.find("QProcess") != std::string::npos &&
          std::regex_search(line, singleArgumentStart)) {
        found.push_back(where);
      }
    }
  }
  EXPECT_GT(files, 50);
  EXPECT_EQ(found, std::vector<std::string>{});
  // The process functions themselves pass a vector, never a line.
  const std::string process = read(fs::path(SOURCE_ROOT) / "src/platform/Process.cpp");
  EXPECT_NE(process.find("posix_spawn(&pid, command.program.c_str()"), std::string::npos);
  EXPECT_EQ(process.find("\"-c\""), std::string::npos);
  report("source files scanned for shell lines", files, files - static_cast<int>(found.size()),
         "clean");
}

// The whole road with the reference desk and the stand-in service: a wrong code, the right
// one, the state asked, the passphrase shown and changed, a quit and an uninstall. Only the
// passphrase commands print the passphrase (that is what they are for); nothing else that
// Quendrel says, and no file but the credentials' own, holds the code, the token or a
// passphrase.
TEST(Security, PairingCredentialsAndThePassphraseReachNoLogFileOrErrorMessage) {
  OriginalTemporary temporary;
  Home home;
  const fs::path app = home / "Applications/Quendrel.app";
  const int servicePort = testing_support::freePort();
  const std::string code = "731946";
  testing_support::makeBundle(app, "com.quendrel.manager", "1.0", "1",
                              "http://127.0.0.1:" + std::to_string(servicePort));
  fs::create_directories(app / "Contents/Resources");
  fs::copy(fs::path(SOURCE_ROOT) / "devkit/payload", app / "Contents/Resources/payload",
           fs::copy_options::recursive);
  const fs::path ctl = app / "Contents/MacOS/quendrelctl";
  fs::copy_file(QUENDRELCTL, ctl);
  setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  setenv("DESK_SUPERVISOR", "process", 1);
  // The desk runs once set up; it is stopped however the test ends.
  struct Stopped {
    ~Stopped() {
      const fs::path agent = Paths::install() / "agent.sh";
      if (fs::exists(agent)) run("/bin/bash", {agent.string(), "stop"}, {}, Input::none, 60);
    }
  } stopped;

  Child service(fs::path(SOURCE_ROOT) / "devkit/service",
                {"--port", std::to_string(servicePort), "--code", code});
  for (int i = 0; i < 500 && !listening(servicePort); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(listening(servicePort));

  std::vector<std::pair<std::string, Ran>> said;
  auto say = [&](const std::string& what, const fs::path& program,
                 const std::vector<std::string>& args) {
    said.emplace_back(what, run(program, args, {}, Input::none, 120));
    return said.back().second;
  };
  EXPECT_EQ(say("a wrong code", ctl, {"setup", "135791", "--terms", "2025-04"}).status, 1);
  Ran setUp = say("setting up", ctl, {"setup", code, "--terms", "2025-04"});
  ASSERT_EQ(setUp.status, 0) << setUp.out << setUp.err;
  const fs::path desk = Paths::movedInstall();
  const std::string uplink = read(desk / "presets/.uplink");
  const auto tokenAt = uplink.find("\"token\": \"");
  ASSERT_NE(tokenAt, std::string::npos) << uplink;
  const std::string token =
      uplink.substr(tokenAt + 10, uplink.find('"', tokenAt + 10) - tokenAt - 10);
  ASSERT_GE(token.size(), 16u);

  say("the state", ctl, {"status"});
  say("in use", ctl, {"in-use"});
  const std::string first = Text::trim(read(desk / "presets/.access"));
  ASSERT_FALSE(first.empty()) << "the running desk made a passphrase";
  Ran shown = run(ctl, {"passphrase"});
  EXPECT_EQ(shown.out, first + "\n");
  Ran changed = run(ctl, {"change-passphrase"});
  const std::string second = Text::trim(read(desk / "presets/.access"));
  EXPECT_EQ(changed.out, second + "\n");
  say("quitting", driver(), {"--drive", "quit"});

  const std::vector<std::pair<std::string, std::string>> secrets = {
      {"the pairing code", code},
      {"the pairing token", token},
      {"the first passphrase", first},
      {"the second passphrase", second}};
  // Every file the test's folders hold, but the credentials' own and the desk's Python.
  auto lookThroughFiles = [&] {
    int files = 0;
    for (auto it = fs::recursive_directory_iterator(home.path().parent_path());
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = it->path().filename().string();
      if (name == ".venv" || name == "__pycache__") {
        it.disable_recursion_pending();
        continue;
      }
      if (!it->is_regular_file() || it->is_symlink() || name == ".uplink" || name == ".access") {
        continue;
      }
      ++files;
      const std::string content = read(it->path());
      for (const auto& [secretName, secret] : secrets) {
        EXPECT_EQ(content.find(secret), std::string::npos) << it->path() << " holds " << secretName;
      }
    }
    return files;
  };
  // With the desk laid down and its logs written, then once it is removed.
  const int files = lookThroughFiles();
  EXPECT_TRUE(fs::exists(desk / "logs"));
  say("uninstalling", ctl, {"uninstall"});
  const int left = lookThroughFiles();

  for (const auto& [what, ran] : said) {
    for (const auto& [name, secret] : secrets) {
      EXPECT_EQ((ran.out + ran.err).find(secret), std::string::npos)
          << what << " said " << name << ":\n"
          << ran.out << ran.err;
    }
  }
  report("outputs looked through for credentials", static_cast<int>(said.size()),
         static_cast<int>(said.size()), "clean");
  report("files looked through for credentials", files + left, files + left, "clean");
}

// A staged copy that is swapped, after its check, for one signed by another key or by nobody
// is never put in place; the running version stays whole.
TEST(Security, AnUpdateSignedByAnotherKeyOrUnsignedIsNeverInstalled) {
  OriginalTemporary temporary;
  Home home;
  const Key ours = makeKey(home / "ours.key");
  const Key theirs = makeKey(home / "theirs.key");
  const fs::path app = home / "Applications/Quendrel.app";
  const fs::path staged = AppUpdate::staging() / "Quendrel.app";
  makeApp(app, "1.0", &ours);
  const std::string refused =
      "Could not put the new Quendrel in place: It has changed since it was downloaded and "
      "checked.\n";
  for (const Key* key : {&theirs, static_cast<const Key*>(nullptr)}) {
    SCOPED_TRACE(key ? "another key" : "unsigned");
    fs::remove_all(AppUpdate::staging());
    makeApp(staged, "2.0", key);
    Ran ran = drive({"install", app, staged});
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.out, refused);
    EXPECT_TRUE(whole(app, "1.0", ours));
    EXPECT_EQ(starts(), "") << "nothing was started";
  }
  // Signed by the same key, the same bytes go in.
  fs::remove_all(AppUpdate::staging());
  makeApp(staged, "2.0", &ours);
  Ran ran = drive({"install", app, staged});
  EXPECT_EQ(ran.out, "installed\n") << ran.err;
  EXPECT_TRUE(whole(app, "2.0", ours));
}
