#pragma once
// A computer to set up in a test: a temporary home folder with a copy of Quendrel in the
// user's Applications folder whose payload is made of small scripts, installations as a user
// leaves them, and a setup run in this process.
#include <filesystem>
#include <string>
#include <vector>

#include "support/Child.h"
#include "support/Home.h"
#include "support/ScriptedUi.h"

namespace setup_testing {

namespace fs = std::filesystem;
using namespace testing_support;

constexpr const char* done = "Done. This computer is connected and its desk is running.";

// The arguments every event loop of this program is made with.
inline int argc = 1;
inline char programName[] = "setup_tests";
inline char* argv[] = {programName, nullptr};

// The payload's scripts: setup.sh makes a stand-in Python in .venv unless one works; the
// stand-in records its arguments in ~/pair-arguments and answers with ~/pair-says and
// ~/pair-status when they exist; agent.sh install leaves "agent-installed". Files in the home
// folder steer them: ~/setup-fails and ~/agent-fails hold what they print before failing; with
// ~/leave-behind both leave a background process holding their output until the home folder
// is gone; when ~/hold is a FIFO, setup.sh waits there for a line.
class Computer {
 public:
  // `service` is the bundle's service address.
  explicit Computer(const std::string& service = "http://127.0.0.1:8765");

  Home home;
  fs::path app;      // ~/Applications/Quendrel.app, this process's main bundle
  fs::path payload;  // its payload folder

  fs::path desk() const;  // ~/Library/Application Support/Quendrel/Desk
  fs::path aside() const { return desk().parent_path() / "Desk-previous"; }
  fs::path marker() const { return home / ".tarvic-setting-up"; }
  fs::path temporary() const { return home.path().parent_path() / "tmp"; }
  // quendrelctl, copied into the bundle, run with these arguments.
  Ran ctl(const std::vector<std::string>& args, const Environment& environment = {});
  Ran setUpWithCtl(const Environment& environment = {}) {
    return ctl({"setup", "123456", "--terms", "2025-04"}, environment);
  }
  // The code and terms version the pairing was given.
  std::vector<std::string> paired() const;
  // Lets a setup.sh waiting at ~/hold go on.
  void release() const;
};

// An installation as a user leaves it, with every kept name: nested folders, a symbolic
// link, private files, binary content, an executable stand-in Python. `tag` varies content.
void writeInstallation(const fs::path& folder, const std::string& tag);

// Only the items under the kept names.
Tree keptItems(const fs::path& folder);

// The keep folders in the temporary folder.
int keepFolders(const fs::path& temporary);

// A setup run in this process, turning the event loop until it has answered and `running`
// is clear again.
struct Outcome {
  bool ok = false;
  std::string message;
};
Outcome setUp(const std::string& code = "123456", const std::string& terms = "2025-04");

// Turns the event loop until `done` holds or `seconds` pass; gives whether it held.
inline bool waitFor(const std::function<bool()>& done, double seconds = 20) {
  return spinUntil(done, seconds);
}

}  // namespace setup_testing
