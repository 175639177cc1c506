#pragma once
// The entry point of every test program that runs sandboxed: run as "--drive …" it performs
// one operation for a test that cuts it short (when the program has a driver); otherwise each
// test process first moves into mount and process namespaces of its own (as root, where
// unshare is there), so that the disk images it attaches, and those its cut-short drivers
// leave attached, vanish with it, and every process it starts ends with it. With `Root::own`
// it also runs under a root of its own in which "/Applications", "/Volumes" and "/media" are
// empty folders that vanish with it (everything else is the machine's own), so a test may put
// copies in /Applications and mount images there. Then the tests run with an event loop.
#include "support/Child.h"

namespace testing_support {

enum class Root { shared, own };
using Driver = int (*)(const std::vector<std::string>& args);
int sandboxedMain(int argc, char** argv, Driver driven = nullptr, Root root = Root::shared);

// Whether this test process runs in namespaces (and, when asked for, a root) of its own;
// tests that need it skip without it, saying why.
bool inSandbox();

// This very program, and it run as the driver of one operation.
inline fs::path self() {
  return fs::read_symlink("/proc/self/exe");
}
inline Ran drive(const std::vector<std::string>& args, const Environment& environment = {},
                 Input input = Input::none, double guard = 240) {
  std::vector<std::string> all{"--drive"};
  all.insert(all.end(), args.begin(), args.end());
  return run(self(), all, environment, input, guard);
}

// Makes a folder read-only for everybody, root included (a read-only bind mount over it).
bool makeReadOnly(const fs::path& folder);

// Whether something is mounted at the point, or at or below the folder.
bool mounted(const fs::path& point);
bool mountedBelow(const fs::path& folder);

// Lets the event loop turn again after a Manager asked it to quit (a quit request stops
// every loop that runs until the application's own loop has run once more).
void reviveEventLoop();

}  // namespace testing_support
