#include "support/Home.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Mounts.h"

namespace fs = std::filesystem;

namespace testing_support {
namespace {

// In a sandbox the test is the first process of a process namespace of its own: whatever it
// started and left running (a relaunched copy, a disk image's file-system server) ends with
// its home, so that nothing writes into the folder once it is removed.
void endEverythingElse() {
  if (getpid() != 1) return;
  kill(-1, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
}

// Whatever is still mounted in the folder, deepest first, so that removing it removes all.
void unmountBelow(const fs::path& root) {
  std::vector<std::string> points;
  for (const auto& mount : Platform::mounts()) {
    const std::string point = mount.mountPoint.string();
    if (point.starts_with(root.string() + "/")) points.push_back(point);
  }
  std::sort(points.rbegin(), points.rend());
  for (const auto& point : points) umount2(point.c_str(), MNT_DETACH);
}

}  // namespace

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
  unsetenv("QUENDREL_PORT");
  unsetenv("TARVIC_PORT");
  unsetenv("XDG_DATA_HOME");  // the data folder is the home folder's own
}

Home::~Home() {
  endEverythingElse();
  unmountBelow(root_);
  std::error_code error;
  // Read-only folders left by a test must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(root_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
  }
  fs::remove_all(root_, error);
  temporary_.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", temporary_.c_str(), 1);
}

fs::path write(const fs::path& file, const std::string& content, unsigned mode) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(file, static_cast<fs::perms>(mode));
  return file;
}

std::string read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void makeBundle(const fs::path& app, const std::string& identifier, const std::string& version,
                const std::string& build, const std::string& service,
                const std::string& executable) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  auto add = [&](const char* key, const std::string& value) {
    if (!value.empty())
      plist += std::string("  <key>") + key + "</key>\n  <string>" + value + "</string>\n";
  };
  add("CFBundleIdentifier", identifier);
  add("CFBundleShortVersionString", version);
  add("CFBundleVersion", build);
  add("QuendrelService", service);
  add("CFBundleExecutable", executable);
  plist += "</dict>\n</plist>\n";
  write(app / "Contents/Info.plist", plist);
  fs::create_directories(app / "Contents/MacOS");
}

namespace {

std::string kindOf(const fs::path& path) {
  auto status = fs::symlink_status(path);
  std::ostringstream s;
  s << std::oct << static_cast<unsigned>(status.permissions()) << ' ';
  if (fs::is_symlink(status)) return "link " + fs::read_symlink(path).string();
  if (fs::is_directory(status)) return "folder " + s.str();
  if (!fs::is_regular_file(status)) return "other " + s.str();
  return "file " + s.str() + read(path);
}

}  // namespace

Tree snapshot(const fs::path& folder, const fs::path& leaveOut) {
  Tree tree;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!leaveOut.empty() && it->path() == leaveOut) {
      it.disable_recursion_pending();
      continue;
    }
    tree[it->path().lexically_relative(folder).string()] = kindOf(it->path());
  }
  return tree;
}

std::string difference(const Tree& a, const Tree& b) {
  for (const auto& [path, kind] : a) {
    auto found = b.find(path);
    if (found == b.end()) return path + " is only on the left";
    if (found->second != kind) return path + " differs";
  }
  for (const auto& [path, kind] : b) {
    if (!a.count(path)) return path + " is only on the right";
  }
  return "";
}

bool contains(const Tree& whole, const Tree& part, std::string* first) {
  for (const auto& [path, kind] : part) {
    auto found = whole.find(path);
    if (found == whole.end() || found->second != kind) {
      if (first) *first = path;
      return false;
    }
  }
  return true;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testing_support
