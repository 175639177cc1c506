#pragma once
// A temporary home folder for one test: HOME and TMPDIR point into it while it lives;
// everything in it is removed afterwards and TMPDIR is put back, so that the next home folder
// is not made inside this one.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class Home {
 public:
  Home();
  ~Home();
  Home(const Home&) = delete;
  Home& operator=(const Home&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

 private:
  std::filesystem::path root_;
  std::filesystem::path path_;
  std::string temporary_;  // TMPDIR as it was found
};

// Writes a file, making its folders; gives its path.
std::filesystem::path write(const std::filesystem::path& file, const std::string& content,
                            unsigned mode = 0644);

// Reads a whole file ("" when missing).
std::string read(const std::filesystem::path& file);

// Makes an application bundle with an XML Info.plist of these values (empty ones omitted).
void makeBundle(const std::filesystem::path& app, const std::string& identifier,
                const std::string& version = "", const std::string& build = "",
                const std::string& service = "", const std::string& executable = "");

// Every item under a folder (links not followed), by relative path: its kind, mode, and
// content or link target. `leaveOut` and what is in it are left out.
using Tree = std::map<std::string, std::string>;
Tree snapshot(const std::filesystem::path& folder, const std::filesystem::path& leaveOut = {});
// The first difference between two trees, in words; empty when they are the same.
std::string difference(const Tree& a, const Tree& b);
// Whether every item of `part` is in `whole`, the same; names the first that is not.
bool contains(const Tree& whole, const Tree& part, std::string* first = nullptr);

// The names in the folder, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& folder);

// A free TCP port on 127.0.0.1 (nothing listens on it when this returns).
int freePort();

}  // namespace testing_support
