#pragma once
// A computer to set up in a test: a temporary home folder with a copy of Quendrel in the
// user's Applications folder whose payload is made of small scripts, installations as a
// user leaves them, and ways to run a setup in this process or through quendrelctl.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/Home.h"

namespace setup_testing {

namespace fs = std::filesystem;

class Computer {
 public:
  // `service` is the bundle's service address.
  explicit Computer(const std::string& service = "http://127.0.0.1:8765");

  testing_support::Home home;
  fs::path app;      // ~/Applications/Quendrel.app, this process's main bundle
  fs::path payload;  // its payload folder

  fs::path desk() const;  // ~/Library/Application Support/Quendrel/Desk
  fs::path marker() const { return home / ".tarvic-setting-up"; }
  // quendrelctl, copied into the bundle on first use.
  fs::path ctl();
};

// The payload of small scripts: setup.sh makes a stand-in Python in .venv unless one works;
// the stand-in records its arguments in ~/pair-arguments and answers with ~/pair-says and
// ~/pair-status when they exist; agent.sh install leaves "agent-installed". Files in the home
// folder make the scripts fail: ~/setup-fails and ~/agent-fails hold what they print. When
// ~/hold is a FIFO, setup.sh waits there until the test writes a line to it.
void writePayload(const fs::path& payload);

// An installation as a user leaves it, with every kept name: nested folders, a symbolic
// link, private files, binary content, an executable stand-in Python. `tag` varies content.
void writeInstallation(const fs::path& folder, const std::string& tag);

// Every item under `folder`, by relative path: its kind, mode, and content or link target.
using Tree = std::map<std::string, std::string>;
Tree snapshot(const fs::path& folder);
// Only the items under the kept names.
Tree keptItems(const fs::path& folder);
// The first difference between two trees, in words; empty when they are the same.
std::string difference(const Tree& a, const Tree& b);
// Whether every item of `part` is in `whole`, the same.
bool contains(const Tree& whole, const Tree& part, std::string* first = nullptr);

// A setup run in this process, turning the event loop until it has answered and `running`
// is clear again.
struct Outcome {
  bool ok = false;
  std::string message;
};
Outcome setUp(const std::string& code = "123456", const std::string& terms = "2025-04");

// Turns the event loop until `done` holds or `seconds` pass; gives whether it held.
bool waitFor(const std::function<bool()>& done, double seconds = 20);

// Runs a program with extra environment variables, its output and errors kept apart.
struct Ran {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};
// A program that runs longer than `timeout` seconds is killed (status 128 + 9).
Ran runProgram(const fs::path& program, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& environment = {},
               double timeout = 240);

// A program left running in a session of its own, its output in a file; it and everything
// it started in its process group are killed when the object goes.
class Background {
 public:
  Background(const fs::path& program, const std::vector<std::string>& args, fs::path output);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  std::string output() const;
  bool running() const { return pid_ > 0; }

 private:
  int pid_ = -1;
  fs::path output_;
};

}  // namespace setup_testing
