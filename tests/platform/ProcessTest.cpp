// Child processes, and the bundle a program takes for its own.
#include "platform/Process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <future>

#include "support/Child.h"
#include "support/Home.h"

using namespace testing_support;
namespace fs = std::filesystem;

// A child that leaves a background process of its own holding its output: the run ends when
// the child itself has exited, with all it wrote and its own exit status.
TEST(Process, ARunEndsWhenTheChildExitsThoughItsBackgroundProcessHoldsTheOutput) {
  const std::string leaves = "sleep 1000 &\necho $! > \"$HOME/background-pid\"\n";
  const struct {
    std::string script;
    int status;
    std::string output;
  } cases[] = {
      {"echo before\n" + leaves + "echo after >&2\nexit 3\n", 3, "before\nafter\n"},
      // Far more than a pipe holds, so the child is still writing while we read: all is kept.
      {leaves + "head -c 300000 /dev/zero | tr '\\0' x\necho; echo last\n", 0,
       std::string(300000, 'x') + "\nlast\n"},
      // Output that comes from a helper the child waits for is all there when it exits.
      {"(sleep 0.2; echo late) & wait; echo done", 0, "late\ndone\n"},
  };
  for (const auto& c : cases) {
    Home home;
    auto ran = std::async(std::launch::async, [&] {
      return Platform::run({"/bin/bash", {"-c", c.script}, ""}, Platform::Output::pipe);
    });
    // A run that has not returned within a minute fails; the background process is ended
    // either way, so that no wait outlives the test.
    EXPECT_EQ(ran.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the run waited for the background process";
    if (const std::string pid = read(home / "background-pid"); !pid.empty()) {
      ::kill(std::stoi(pid), SIGKILL);
    }
    const auto got = ran.get();
    const auto* exited = std::get_if<Platform::Exited>(&got);
    ASSERT_NE(exited, nullptr);
    EXPECT_EQ(std::tie(exited->status, exited->output), std::tie(c.status, c.output));
  }
}

// The running bundle is the one the program was opened from, links above it kept as named.
TEST(MainBundle, IsTheBundleAsItWasOpened) {
  Home home;
  const fs::path real = home / "real/Downloads/Quendrel.app", program = "Contents/MacOS/tests";
  fs::create_directories(real / program.parent_path());
  fs::copy_file("/proc/self/exe", real / program);
  fs::create_directory_symlink(home / "real", home / "linked");
  fs::create_directories(home / "plain");
  fs::create_directory_symlink(home / "real/Downloads", home / "plain/Downloads");
  for (const fs::path& app :
       {home / "linked/Downloads/Quendrel.app", home / "plain/Downloads/Quendrel.app", real}) {
    const Ran ran = run(app / program, {"--say-main-bundle"});
    EXPECT_EQ(ran.out, app.string() + "\n") << ran.err;
  }
}
