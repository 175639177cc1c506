#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Queue.h"

namespace testing_support {

namespace {

constexpr const char* marker = "QUENDREL_TEST_SANDBOX";
bool sandboxed = false;

void enterSandbox(int argc, char** argv) {
  if (const char* value = std::getenv(marker)) {
    sandboxed = std::string(value) == "1" && getpid() == 1;
    return;
  }
  if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0) return;
  std::vector<std::string> words = {"unshare", "--mount",      "--propagation", "private", "--pid",
                                    "--fork",  "--kill-child", "--mount-proc",  self()};
  for (int i = 1; i < argc; ++i) words.push_back(argv[i]);
  std::vector<char*> args;
  for (auto& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  setenv(marker, "1", 1);
  execv("/usr/bin/unshare", args.data());
  setenv(marker, "0", 1);  // could not: the tests that need it skip
}

}  // namespace

int sandboxedMain(int argc, char** argv, Driver driven) {
  if (driven && argc >= 2 && std::string(argv[1]) == "--drive") {
    return driven(std::vector<std::string>(argv + 2, argv + argc));
  }
  enterSandbox(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  Platform::EventLoop loop(argc, argv);
  return RUN_ALL_TESTS();
}

bool inSandbox() {
  return sandboxed;
}

std::filesystem::path self() {
  return std::filesystem::read_symlink("/proc/self/exe");
}

Ran drive(const std::vector<std::string>& args, const Environment& environment, Input input,
          double guard) {
  std::vector<std::string> all{"--drive"};
  all.insert(all.end(), args.begin(), args.end());
  return run(self(), all, environment, input, guard);
}

}  // namespace testing_support
