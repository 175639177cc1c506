#pragma once
// Real application bundles for the placement and update tests: signed with real keys, holding
// real programs, started as real processes, put on real disk images.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "platform/Process.h"
#include "signing/CodeSign.h"

namespace placement_testing {

namespace fs = std::filesystem;

// A signing key in a file of its own.
struct Key {
  fs::path file;
  std::string secret, team;
};
inline Key makeKey(const fs::path& file) {
  fs::create_directories(file.parent_path());
  if (CodeSign::makeKey(file)) throw std::runtime_error("no key");
  const std::string secret = *CodeSign::readKey(file);
  return {file, secret, CodeSign::team(*CodeSign::publicKeyOf(secret))};
}

// The program the bundle runs, under `executable` in Contents/MacOS: `script` when it is not
// empty, a copy of `program` otherwise. `service` is its QuendrelService, when not empty.
struct App {
  std::string identifier = "com.quendrel.manager", version = "1.0", build = "1", service = "";
  std::string script = "";
  fs::path program = "/usr/bin/sleep";
  std::string executable = "Quendrel";
};

// Makes the bundle at `location` with what real bundles have (a nested folder, a symbolic
// link, modes, an extended attribute and an old time on "presets/README") and signs it with
// `key` when given.
void makeApp(const fs::path& location, const App& app, const Key* key);
// Signs the bundle with the key (throwing what went wrong), and whether a bundle's signature
// holds.
inline void sign(const fs::path& bundle, const Key& key) {
  if (auto problem = CodeSign::sign(bundle, key.secret)) throw std::runtime_error(*problem);
}

inline bool valid(const fs::path& bundle) {
  return std::holds_alternative<CodeSign::Signer>(CodeSign::verify(bundle));
}

// A bundle's program (or another one in its Contents/MacOS).
inline fs::path programOf(const fs::path& bundle, const std::string& executable = "Quendrel") {
  return bundle / "Contents/MacOS" / executable;
}

// A program started as a process of its own; killed and reaped when dropped.
class Running {
 public:
  Running(const fs::path& program, const std::vector<std::string>& args);
  ~Running();
  Running(Running&&) = delete;  // neither copied nor moved
  pid_t pid() const { return pid_; }
  // Whether it has ended (reaping it when it has).
  bool ended();
  // Waits until it ignores the request to terminate (a stubborn copy has set itself up).
  bool ignoresTerminate();

 private:
  pid_t pid_ = -1;
  int status_ = -1;  // once reaped
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
inline Ran run(const std::string& program, const std::vector<std::string>& args) {
  auto ran = Platform::run({program, args, ""}, Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  return exited ? Ran{exited->status, exited->output} : Ran{};
}

// A squashfs image of everything in the folder, made with mksquashfs.
inline bool makeImage(const fs::path& folder, const fs::path& image) {
  return run("/usr/bin/mksquashfs",
             {folder.string(), image.string(), "-quiet", "-no-progress", "-noappend"})
             .status == 0;
}

// Runs `work` in a child process as the unprivileged user "nobody" (uid and gid 65534), so
// that permissions bind as they do for a person; gives whether it ran and returned true.
// Lets the user into the test's temporary folder first.
bool asNobody(const fs::path& home, const std::function<bool()>& work);

// Hands the tree to "nobody".
void giveToNobody(const fs::path& tree);

}  // namespace placement_testing
