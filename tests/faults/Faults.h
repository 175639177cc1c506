#pragma once
// What the fault tests share: small signed application bundles, child processes run with an
// argument vector under a guard (this very program among them, as the driver that performs
// one operation to be cut short), and the steps a preloaded library counts.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace faults_testing {

namespace fs = std::filesystem;

// Whether this test process runs in mount and process namespaces of its own (see main.cpp).
extern bool inSandbox;

// The preloaded libraries cannot go before a sanitizer's runtime: tests that need them skip.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// Puts TMPDIR back as this process found it: a home folder sets it to a folder of its own,
// which is gone with it, and the next home folder must not be made inside it.
struct OriginalTemporary {
  OriginalTemporary();
};

struct Key {
  fs::path file;
  std::string secret;
};
Key makeKey(const fs::path& file);

// A small bundle of this version whose program appends "<version>" to $HOME/started, with a
// nested folder and a symbolic link as real bundles have; signed with `key` when given.
// `service` is its QuendrelService, when given.
void makeApp(const fs::path& location, const std::string& version, const Key* key,
             const std::string& service = "");

// Version 2.0 signed with a new key, as a disk image and its feed entry (file
// "Quendrel-2.0.img"): made in the home folder, kept in memory.
struct Release {
  Key key;
  std::string image;
  std::string feed;
};
Release makeRelease(const fs::path& home);

// Whether the bundle is validly signed with `key` and is this version.
bool whole(const fs::path& bundle, const std::string& version, const Key& key);

// What $HOME/started holds: one line per start of a bundle's program.
std::string starts();

// Runs the bundle's program as a launch would, and gives whether it noted its start.
bool startsUp(const fs::path& bundle);

using Environment = std::vector<std::pair<std::string, std::string>>;

enum class Input {
  none,   // the null device
  quiet,  // a pipe that stays open and silent while the child runs, like a terminal nobody types at
};

struct Ran {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  bool hung = false;  // still running after the guard, and killed
};

// A program started with these arguments and environment variables added to ours, in a
// process group of its own.
class Child {
 public:
  Child(const fs::path& program, const std::vector<std::string>& args,
        const Environment& environment = {}, Input input = Input::none);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  // Reads its output to the end and waits for it, killing its group once it has run `guard`
  // seconds (a guard against a hang, never a timing).
  Ran wait(double guard = 120);

 private:
  int pid_ = -1;
  int out_ = -1, err_ = -1, in_ = -1;
  bool waited_ = false;
};

// Runs the program to its end (see Child).
Ran run(const fs::path& program, const std::vector<std::string>& args,
        const Environment& environment = {}, Input input = Input::none, double guard = 120);

// This program as the driver of one operation: "move SOURCE TARGET", "install BUNDLE STAGED",
// "prepare BUNDLE" or "quit" (see Driver.cpp).
Ran drive(const std::vector<std::string>& args, const Environment& environment = {});
fs::path driver();
int driven(const std::vector<std::string>& args);

// The preloaded library that kills a program after its Nth change under `under`
// (0: never), noting every counted change in `log` when one is given.
Environment killpoint(const fs::path& under, long at, const fs::path& log = {});

// The counted changes of a run that was not cut short, as "call path" with paths relative
// to `root`.
std::vector<std::string> steps(const fs::path& log, const fs::path& root);

// The steps worth cutting short at: every one that moves, swaps or removes something or
// clears an attribute, and every `every`th of those that make a copy (a folder, file or link
// made). Counted from 1.
std::vector<long> chosen(const std::vector<std::string>& steps, std::size_t every);

// The preloaded library that makes a program's steady clocks, and its waits, run `factor`
// times as fast once it receives SIGUSR1.
Environment fastClock(long factor);

// The names in the folder, sorted.
std::vector<std::string> namesIn(const fs::path& folder);

// Whether anything is mounted at or below the folder.
bool mountedBelow(const fs::path& folder);

// Every item under the folder (links not followed), by path, with its kind, mode and size.
std::vector<std::string> snapshot(const fs::path& folder, const fs::path& leaveOut = {});

// How many failures the running test has recorded so far.
int failures();

// Prints a figure of the run: how many cases were tried and how many came out as they must.
void report(const std::string& what, int tried, int held, const std::string& how = "recovered");

}  // namespace faults_testing
