// The real, signed bundle from the build folder, on a real disk image, under a real X server:
// opened with no copy installed, it offers to move; Return moves it into /Applications (the
// test's own), the new copy runs with the hand-over arguments, the old one quits, and the
// image is detached once nothing runs from it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "placement/Bundles.h"
#include "placement/DiskImage.h"
#include "placement/Sandbox.h"
#include "placement/Settling.h"
#include "platform/apps.h"
#include "platform/copying.h"
#include "platform/mounts.h"
#include "platform/process.h"
#include "support/Home.h"
#include "text/Text.h"

using namespace placement_testing;
using testing_support::Home;
namespace fs = std::filesystem;

extern char** environ;

namespace {

const fs::path builtApp = BUILD_ROOT "/Quendrel.app";

// A program started with our environment; killed when dropped.
class Process {
 public:
  Process(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~Process() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  // The exit status once it has ended within `seconds`; nothing otherwise.
  std::optional<int> ended(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

 private:
  pid_t pid_ = -1;
};

std::string output(const std::string& program, const std::vector<std::string>& args) {
  auto ran = platform::run({program, args, ""}, platform::Output::pipe);
  auto* exited = std::get_if<platform::Exited>(&ran);
  return exited && exited->status == 0 ? exited->output : "";
}

template <typename Check>
bool waitFor(Check check, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!check()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

std::vector<std::string> commandLine(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> words;
  std::string word;
  while (std::getline(in, word, '\0')) words.push_back(word);
  return words;
}

}  // namespace

TEST(EndToEnd, FromADiskImageIntoApplicationsWithReturn) {
  if (!sandboxed()) GTEST_SKIP() << "needs the private root";
  for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool"}) {
    if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing: run scripts/bootstrap";
  }
  if (!valid(builtApp)) GTEST_SKIP() << "no signed bundle in the build folder: build `bundle`";
  Home home;
  fs::create_directories(home / "runtime");
  fs::permissions(home / "runtime", fs::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);
  setenv("QUENDREL_PORT", std::to_string(testing_support::freePort()).c_str(), 1);
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("QUENDREL_NEW_INSTANCE");

  // The X server says its display number on a pipe once it is ready.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Process x("/usr/bin/Xvfb", {"-displayfd", std::to_string(ends[1]), "-screen", "0", "800x600x24",
                              "-nolisten", "tcp"});
  close(ends[1]);
  std::string number;
  char c;
  while (read(ends[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  close(ends[0]);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  setenv("DISPLAY", (":" + number).c_str(), 1);

  // The download: the built bundle on a disk image, attached under /Volumes.
  fs::create_directories(home / "image");
  ASSERT_EQ(platform::copyTree(builtApp, home / "image/Quendrel.app"), 0);
  ASSERT_TRUE(makeImage(home / "image", home / "Quendrel.squashfs"));
  auto attached = DiskImage::attach(home / "Quendrel.squashfs", "/Volumes/Quendrel");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(attached));
  const fs::path here = "/Volumes/Quendrel/Quendrel.app";
  ASSERT_TRUE(valid(here));

  Process old((here / "Contents/MacOS/Quendrel").string(), {});
  ASSERT_GT(old.pid(), 0);
  // The offer is the first window it shows; Return answers it (pressed again while the
  // window is still there, in case it came before the window could take keys).
  const fs::path installed = "/Applications/Quendrel.app";
  std::vector<std::string> arguments;
  bool offered = false;
  EXPECT_TRUE(waitFor(
      [&] {
        for (const auto& app : platform::runningApplications()) {
          if (app.bundle == installed) arguments = commandLine(app.pid);
        }
        if (!arguments.empty()) return true;
        std::string window = text::trim(output(
            "/usr/bin/xdotool", {"search", "--onlyvisible", "--pid", std::to_string(old.pid())}));
        if (!window.empty()) {
          offered = true;
          output("/usr/bin/xdotool", {"windowfocus", window.substr(0, window.find('\n'))});
          output("/usr/bin/xdotool", {"key", "Return"});
          std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        return false;
      },
      60))
      << (offered ? "the new copy did not start" : "no offer on screen");
  EXPECT_EQ(arguments, (std::vector<std::string>{(installed / "Contents/MacOS/Quendrel").string(),
                                                 "--handed-over", "--moved-from", here.string()}));
  EXPECT_TRUE(valid(installed));
  EXPECT_TRUE(Settling::intact(installed, builtApp));

  // The old copy quits, and the image goes once nothing runs from it.
  EXPECT_EQ(old.ended(30), 0);
  EXPECT_TRUE(waitFor([] { return !mounted("/Volumes/Quendrel"); }, 40))
      << "the disk image is still attached";
}
