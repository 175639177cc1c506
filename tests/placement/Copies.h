#pragma once
// Real application bundles for the placement tests: signed with real keys, holding real
// programs, started as real processes.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace placement_testing {

// A signing key in a file of its own.
struct Key {
  std::filesystem::path file;
  std::string secret;
  std::string team;
};
Key makeKey(const std::filesystem::path& folder, const std::string& name = "key");

struct App {
  std::string identifier = "com.quendrel.manager";
  std::string version = "1.0";
  std::string build = "1";
  // The program the bundle runs: copied from this file into Contents/MacOS under `executable`.
  std::filesystem::path program = "/usr/bin/sleep";
  std::string executable = "Quendrel";
};

// Makes the bundle at `location` (with a payload file, a nested folder and a symbolic link,
// as real bundles have) and signs it with `key` when given.
void makeApp(const std::filesystem::path& location, const App& app, const Key* key);

// Signs (again) with the key.
void sign(const std::filesystem::path& bundle, const Key& key);

bool valid(const std::filesystem::path& bundle);

// The bundle's program started as a process of its own; killed and reaped when dropped.
class Running {
 public:
  Running(const std::filesystem::path& bundle, const std::vector<std::string>& args,
          const std::string& executable = "Quendrel");
  ~Running();
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  pid_t pid() const { return pid_; }
  // Whether it has ended (reaping it when it has).
  bool ended();
  // Waits until it ignores the request to terminate (a stubborn copy has set itself up).
  bool ignoresTerminate();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Arguments for a bundle made with /usr/bin/sleep: runs until terminated.
std::vector<std::string> politeArguments();
// Arguments for a bundle made with /usr/bin/bash: ignores the request to terminate.
std::vector<std::string> stubbornArguments();

// Makes a squashfs image of a folder with mksquashfs.
bool makeImage(const std::filesystem::path& folder, const std::filesystem::path& image);

// Lets the event loop turn again after a Manager asked it to quit (a quit request stops
// every loop that runs until the application's own loop has run once more).
void reviveEventLoop();

// Runs `work` in a child process as the unprivileged user "nobody" (uid and gid 65534), so
// that permissions bind as they do for a person; gives whether it ran and returned true.
// Lets the user into the test's temporary folder first.
bool asNobody(const std::filesystem::path& home, const std::function<bool()>& work);

// Hands the tree to "nobody".
void giveToNobody(const std::filesystem::path& tree);

}  // namespace placement_testing
