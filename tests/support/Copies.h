#pragma once
// Real application bundles for the placement and update tests: signed with real keys, holding
// real programs, started as real processes, put on real disk images.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace placement_testing {

// A signing key in a file of its own.
struct Key {
  std::filesystem::path file;
  std::string secret;
  std::string team;
};
Key makeKey(const std::filesystem::path& file);

struct App {
  std::string identifier = "com.quendrel.manager";
  std::string version = "1.0";
  std::string build = "1";
  std::string service = "";  // its QuendrelService, when not empty
  // The program the bundle runs, under `executable` in Contents/MacOS: this script when it is
  // not empty, a copy of `program` otherwise.
  std::string script = "";
  std::filesystem::path program = "/usr/bin/sleep";
  std::string executable = "Quendrel";
};

// Makes the bundle at `location` with what real bundles have (a nested folder, a symbolic
// link, modes, an extended attribute and an old time on "presets/README") and signs it with
// `key` when given.
void makeApp(const std::filesystem::path& location, const App& app, const Key* key);
void sign(const std::filesystem::path& bundle, const Key& key);
bool valid(const std::filesystem::path& bundle);

// A bundle's program (or another one in its Contents/MacOS).
std::filesystem::path programOf(const std::filesystem::path& bundle,
                                const std::string& executable = "Quendrel");

// A program started as a process of its own; killed and reaped when dropped.
class Running {
 public:
  Running(const std::filesystem::path& program, const std::vector<std::string>& args);
  ~Running();
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  pid_t pid() const { return pid_; }
  // Whether it has ended (reaping it when it has).
  bool ended();
  // Its exit status once it has ended within `seconds`; -1 otherwise.
  int status(double seconds);
  // Waits until it ignores the request to terminate (a stubborn copy has set itself up).
  bool ignoresTerminate();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

// Arguments for a bundle made with /usr/bin/sleep: runs until terminated.
inline const std::vector<std::string> polite = {"1000"};
// Arguments for a bundle made with /usr/bin/bash: ignores the request to terminate.
inline const std::vector<std::string> stubborn = {"-c",
                                                  "trap '' TERM; while :; do sleep 0.2; done"};

// A program run to its end: exit status (-1 when it did not exit) and its output and errors.
struct Ran {
  int status = -1;
  std::string output;
};
Ran run(const std::string& program, const std::vector<std::string>& args);

// A squashfs image of everything in the folder, made with mksquashfs.
bool makeImage(const std::filesystem::path& folder, const std::filesystem::path& image);

// Runs `work` in a child process as the unprivileged user "nobody" (uid and gid 65534), so
// that permissions bind as they do for a person; gives whether it ran and returned true.
// Lets the user into the test's temporary folder first.
bool asNobody(const std::filesystem::path& home, const std::function<bool()>& work);

// Hands the tree to "nobody".
void giveToNobody(const std::filesystem::path& tree);

}  // namespace placement_testing
