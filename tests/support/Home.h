#pragma once
// A temporary home folder for one test: HOME and TMPDIR point into it while it lives,
// and everything in it is removed afterwards.
#include <filesystem>
#include <string>

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
};

// Writes a file, making its folders; gives its path.
std::filesystem::path write(const std::filesystem::path& file, const std::string& content,
                            unsigned mode = 0644);

// Reads a whole file ("" when missing).
std::string read(const std::filesystem::path& file);

// Makes an application bundle with an XML Info.plist of these values (empty ones omitted).
void makeBundle(const std::filesystem::path& app, const std::string& identifier,
                const std::string& version = "", const std::string& build = "",
                const std::string& service = "");

// A free TCP port on 127.0.0.1 (nothing listens on it when this returns).
int freePort();

}  // namespace testing_support
