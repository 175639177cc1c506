#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/Mounts.h"
#include "platform/Queue.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

constexpr const char* marker = "QUENDREL_TEST_SANDBOX";
bool sandboxed = false;
Platform::EventLoop* theLoop = nullptr;

// The folders of an own root that start empty instead of showing the machine's own.
constexpr const char* privateFolders[] = {"Applications", "Volumes", "media", "proc"};

bool buildRoot() {
  // A fresh tmpfs to be the new root, mounted where nobody looks in this namespace.
  const fs::path root = "/media";
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("sandbox", root.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/", error)) {
    const std::string name = entry.path().filename();
    if (std::find(std::begin(privateFolders), std::end(privateFolders), name) !=
        std::end(privateFolders)) {
      continue;
    }
    const fs::path inRoot = root / name;
    if (entry.is_symlink(error)) {
      fs::create_symlink(fs::read_symlink(entry.path(), error), inRoot, error);
    } else if (entry.is_directory(error)) {
      fs::create_directory(inRoot, error);
      if (mount(entry.path().c_str(), inRoot.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return false;
      }
    }
  }
  for (const char* name : privateFolders) {
    fs::create_directory(root / name, error);
    chmod((root / name).c_str(), 0755);
  }
  if (mount("/proc", (root / "proc").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return false;
  }
  return chdir(root.c_str()) == 0 && chroot(".") == 0 && chdir("/") == 0;
}

// Re-runs this program inside new namespaces (as root, when unshare is there) and, once
// inside, builds the own root when asked for.
void enterSandbox(int argc, char** argv, Root root) {
  if (const char* value = std::getenv(marker)) {
    sandboxed = std::string(value) == "1" && getpid() == 1 && (root == Root::shared || buildRoot());
    if (!sandboxed) std::fprintf(stderr, "no sandbox: the tests that need one skip\n");
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

int sandboxedMain(int argc, char** argv, Driver driven, Root root) {
  if (driven && argc >= 2 && std::string(argv[1]) == "--drive") {
    return driven(std::vector<std::string>(argv + 2, argv + argc));
  }
  enterSandbox(argc, argv, root);
  testing::InitGoogleTest(&argc, argv);
  Platform::EventLoop loop(argc, argv);
  theLoop = &loop;
  return RUN_ALL_TESTS();
}

bool inSandbox() {
  return sandboxed;
}

fs::path self() {
  return fs::read_symlink("/proc/self/exe");
}

Ran drive(const std::vector<std::string>& args, const Environment& environment, Input input,
          double guard) {
  std::vector<std::string> all{"--drive"};
  all.insert(all.end(), args.begin(), args.end());
  return run(self(), all, environment, input, guard);
}

bool makeReadOnly(const fs::path& folder) {
  return mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool mounted(const fs::path& point) {
  for (const auto& mount : Platform::mounts()) {
    if (mount.mountPoint == point) return true;
  }
  return false;
}

bool mountedBelow(const fs::path& folder) {
  std::error_code error;
  const std::string inside = fs::weakly_canonical(folder, error).string();
  for (const auto& mount : Platform::mounts()) {
    const std::string point = mount.mountPoint.string();
    if (point == inside || point.starts_with(inside + "/")) return true;
  }
  return false;
}

void reviveEventLoop() {
  Platform::EventLoop::quit(0);
  theLoop->run();
}

}  // namespace testing_support
