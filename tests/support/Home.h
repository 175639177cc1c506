#pragma once
// A temporary home folder for one test: HOME and TMPDIR point into it while it lives;
// everything in it is removed afterwards and TMPDIR is put back, so that the next home folder
// is not made inside this one.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

class Home {
 public:
  Home();
  ~Home();
  Home(Home&&) = delete;  // neither copied nor moved
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& relative) const { return path_ / relative; }

 private:
  fs::path root_, path_;
  std::string temporary_;  // TMPDIR as it was found
};

// Writes a file, making its folders; gives its path.
inline fs::path write(const fs::path& file, const std::string& content, unsigned mode = 0644) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(file, static_cast<fs::perms>(mode));
  return file;
}

// Reads a whole file ("" when missing).
inline std::string read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Makes an application bundle with an XML Info.plist of these values (empty ones omitted).
inline void makeBundle(const fs::path& app, const std::string& identifier,
                       const std::string& version = "", const std::string& build = "",
                       const std::string& service = "", const std::string& executable = "") {
  std::string plist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
)";
  for (const auto& [key, value] : {std::pair{"CFBundleIdentifier", identifier},
                                   {"CFBundleShortVersionString", version},
                                   {"CFBundleVersion", build},
                                   {"QuendrelService", service},
                                   {"CFBundleExecutable", executable}}) {
    if (!value.empty())
      plist += "  <key>" + std::string(key) + "</key>\n  <string>" + value + "</string>\n";
  }
  write(app / "Contents/Info.plist", plist + "</dict>\n</plist>\n");
  fs::create_directories(app / "Contents/MacOS");
}

// Every item under a folder (links not followed), by relative path: its kind, mode, and
// content or link target. `leaveOut` and what is in it are left out.
using Tree = std::map<std::string, std::string>;
inline Tree snapshot(const fs::path& folder, const fs::path& leaveOut = {}) {
  Tree tree;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path& path = it->path();
    if (!leaveOut.empty() && path == leaveOut) {
      it.disable_recursion_pending();
      continue;
    }
    const auto status = fs::symlink_status(path);
    const std::string mode = std::to_string(static_cast<unsigned>(status.permissions())) + " ";
    tree[path.lexically_relative(folder)] =
        fs::is_symlink(status)        ? "link " + fs::read_symlink(path).string()
        : fs::is_directory(status)    ? "folder " + mode
        : fs::is_regular_file(status) ? "file " + mode + read(path)
                                      : "other " + mode;
  }
  return tree;
}

// Whether every item of `part` is in `whole`, the same; names the first that is not.
inline bool contains(const Tree& whole, const Tree& part, std::string* first = nullptr) {
  const auto differs = [&](const auto& item) {
    return !whole.contains(item.first) || whole.at(item.first) != item.second;
  };
  const auto missing = std::ranges::find_if(part, differs);
  if (first && missing != part.end()) *first = missing->first;
  return missing == part.end();
}

// The first difference between two trees, in words; empty when they are the same.
inline std::string difference(const Tree& a, const Tree& b) {
  std::string first;
  if (!contains(b, a, &first))
    return first + (b.count(first) ? " differs" : " is only on the left");
  // Everything on the left is on the right, the same: what is left is more on the right.
  return contains(a, b, &first) ? "" : first + " is only on the right";
}

// The names in the folder, sorted.
inline std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A free TCP port on 127.0.0.1 (nothing listens on it when this returns).
int freePort();

}  // namespace testing_support
