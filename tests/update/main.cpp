// The update tests' own entry point: each test process first moves into mount and process
// namespaces of its own (as root, where unshare is there), so that the disk images it attaches
// and the read-only folders it makes vanish with it, and every process it starts (the
// relaunched versions, the image daemons) ends with it. Then the tests run with an event loop.
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "update/Releases.h"

namespace {

constexpr const char* marker = "QUENDREL_UPDATE_SANDBOX";

void enterSandbox(int argc, char** argv) {
  if (const char* value = std::getenv(marker)) {
    update_testing::inSandbox = std::string(value) == "1" && getpid() == 1;
    return;
  }
  if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0) return;
  std::error_code error;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return;
  std::vector<std::string> words = {"unshare", "--mount",      "--propagation", "private", "--pid",
                                    "--fork",  "--kill-child", "--mount-proc",  self};
  for (int i = 1; i < argc; ++i) words.push_back(argv[i]);
  std::vector<char*> args;
  for (auto& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  setenv(marker, "1", 1);
  execv("/usr/bin/unshare", args.data());
  setenv(marker, "0", 1);  // could not: the tests that need it skip
}

}  // namespace

int main(int argc, char** argv) {
  enterSandbox(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  Platform::EventLoop loop(argc, argv);
  return RUN_ALL_TESTS();
}
