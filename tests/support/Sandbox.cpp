// Sandbox.h and Home.h: the namespaces and root a test runs in, and its home folder, whose
// clean-up ends what the test left running or mounted there.
#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Mounts.h"
#include "platform/Queue.h"
#include "support/Home.h"

namespace testing_support {
namespace {

constexpr const char* marker = "QUENDREL_TEST_SANDBOX";
bool sandboxed = false;
Platform::EventLoop* theLoop = nullptr;

// The mount points at or below the folder, deepest first.
std::vector<std::string> mountsBelow(const fs::path& folder) {
  std::vector<std::string> points;
  for (const auto& mount : Platform::mounts()) points.push_back(mount.mountPoint);
  std::erase_if(points, [&](auto& p) { return !(p + "/").starts_with(folder.string() + "/"); });
  std::sort(points.rbegin(), points.rend());
  return points;
}

// A fresh tmpfs, mounted where nobody looks in this namespace, becomes the root: every folder
// of the machine's root is bound into it but these, which start empty.
bool buildRoot() {
  const fs::path root = "/media";
  const std::vector<std::string> empty = {"Applications", "Volumes", "media"};
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("sandbox", root.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    return false;
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/", error)) {
    const std::string name = entry.path().filename();
    const fs::path inRoot = root / name;
    if (std::ranges::count(empty, name)) continue;
    if (entry.is_symlink(error)) fs::copy_symlink(entry.path(), inRoot, error);
    if (entry.is_symlink(error) || !entry.is_directory(error)) continue;
    fs::create_directory(inRoot, error);
    if (mount(entry.path().c_str(), inRoot.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return false;
  }
  for (const auto& name : empty) {
    fs::create_directory(root / name, error);
    chmod((root / name).c_str(), 0755);
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
  words.insert(words.end(), argv + 1, argv + argc);
  std::vector<char*> args{nullptr};
  for (auto& w : words) args.insert(args.end() - 1, w.data());
  setenv(marker, "1", 1);
  execv("/usr/bin/unshare", args.data());
  setenv(marker, "0", 1);  // could not: the tests that need it skip
}

}  // namespace

int sandboxedMain(int argc, char** argv, Driver driven, Root root) {
  if (driven && argc >= 2 && std::string(argv[1]) == "--drive")
    return driven(std::vector<std::string>(argv + 2, argv + argc));
  enterSandbox(argc, argv, root);
  testing::InitGoogleTest(&argc, argv);
  Platform::EventLoop loop(argc, argv);
  theLoop = &loop;
  return RUN_ALL_TESTS();
}

bool inSandbox() {
  return sandboxed;
}

bool makeReadOnly(const fs::path& folder) {
  return mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool mounted(const fs::path& point) {
  return std::ranges::any_of(Platform::mounts(), [&](auto& m) { return m.mountPoint == point; });
}

bool mountedBelow(const fs::path& folder) {
  std::error_code error;
  return !mountsBelow(fs::weakly_canonical(folder, error)).empty();
}

void reviveEventLoop() {
  Platform::EventLoop::quit(0);
  theLoop->run();
}

Home::Home() {
  if (const char* t = getenv("TMPDIR")) temporary_ = t;
  std::string pattern = (fs::temp_directory_path() / "quendrel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
  root_ = pattern;
  path_ = root_ / "home";
  fs::create_directories(path_);
  fs::create_directories(root_ / "tmp");
  setenv("HOME", path_.c_str(), 1);
  setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
  // The ports are the tests' to give; the data folder is the home folder's own.
  for (const char* name : {"QUENDREL_PORT", "TARVIC_PORT", "XDG_DATA_HOME"}) unsetenv(name);
}

Home::~Home() {
  // In a sandbox the test is the first process of a process namespace of its own: whatever it
  // started and left running (a relaunched copy, a disk image's file-system server) ends with
  // its home, so that nothing writes into the folder once it is removed.
  if (getpid() == 1) {
    kill(-1, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) continue;
  }
  // Whatever is still mounted in the folder, deepest first, so that removing it removes all.
  for (const auto& point : mountsBelow(root_)) umount2(point.c_str(), MNT_DETACH);
  // Read-only folders left by a test must not stop the clean-up.
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(root_, error);
  temporary_.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", temporary_.c_str(), 1);
}

}  // namespace testing_support
