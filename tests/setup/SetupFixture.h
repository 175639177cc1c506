#pragma once
// A computer to set up in a test: a temporary home folder with a copy of Quendrel in the
// user's Applications folder whose payload is made of small scripts, installations as a user
// leaves them, and a setup run in this process.
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <sstream>

#include "desk/Paths.h"
#include "platform/Queue.h"
#include "setup/Installer.h"
#include "support/Child.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "support/ScriptedUi.h"

namespace setup_testing {

namespace fs = std::filesystem;
using namespace testing_support;

constexpr const char* done = "Done. This computer is connected and its desk is running.";
constexpr const char* payloadVersion = "3.1.4 (payload)\n";

// The arguments every event loop of this program is made with.
inline int argc = 1;
inline char programName[] = "setup_tests";
inline char* argv[] = {programName, nullptr};

// The payload's scripts. Files in the home folder steer them: ~/setup-fails and ~/agent-fails
// hold what they print before failing; with ~/leave-behind setup.sh leaves a background
// process holding its output until the home folder is gone; when ~/hold is a FIFO, setup.sh
// waits there for a line. setup.sh makes a stand-in Python in .venv unless there is one: it
// records its arguments in ~/pair-arguments and answers with ~/pair-says and
// ~/pair-status when they exist.
constexpr const char* setupScript = R"sh(#!/bin/bash
cd "$(dirname "$0")" || exit 1
if [ -f "$HOME/leave-behind" ]; then (while [ -d "$HOME" ]; do sleep 1; done) & fi
cat "$HOME/.tarvic-setting-up" > marker-during-setup
if [ -p "$HOME/hold" ]; then read -r _ < "$HOME/hold"; fi
if [ -f "$HOME/setup-fails" ]; then cat "$HOME/setup-fails"; exit 1; fi
[ -x .venv/bin/python ] || install -D pair-stand-in .venv/bin/python
)sh";
constexpr const char* pairStandIn = R"sh(#!/bin/bash
printf '%s\0' "$@" > "$HOME/pair-arguments"
cat "$HOME/pair-says" 2>/dev/null || echo "This computer is now connected to St Example's."
exit "$(cat "$HOME/pair-status" 2>/dev/null || echo 0)"
)sh";
constexpr const char* agentScript = R"sh(#!/bin/bash
[ "$1" = install ] && cd "$(dirname "$0")" || exit 1
if [ -f "$HOME/agent-fails" ]; then cat "$HOME/agent-fails"; exit 1; fi
echo installed > agent-installed
)sh";

class Computer {
 public:
  // `service` is the bundle's service address.
  explicit Computer(const std::string& service = "http://127.0.0.1:8765") {
    makeBundle(app, "com.quendrel.app", "1.0", "1", service);
    pretendMainBundle(app);
    write(payload / "setup.sh", setupScript, 0755);
    write(payload / "agent.sh", agentScript, 0755);
    write(payload / "pair-stand-in", pairStandIn, 0755);
    write(payload / "VERSION", payloadVersion);
    write(payload / "ui/terms.html",
          "<!doctype html><main data-version=\"own\"><input type=\"checkbox\" disabled>\n"
          "<a id=\"privacy\" href=\"/privacy\">How we handle your information</a></main>\n");
    write(payload / "presets/factory.json", "{\"from\": \"the payload\"}\n");
    write(payload / "Tarvic.app/Contents/Info.plist", "<plist/>\n");
  }

  Home home;
  fs::path app = home / "Applications/Quendrel.app";  // this process's main bundle
  fs::path payload = app / "Contents/Resources/payload";

  fs::path desk() const { return Paths::movedInstall(); }
  fs::path marker() const { return home / ".tarvic-setting-up"; }
  fs::path temporary() const { return home.path().parent_path() / "tmp"; }  // TMPDIR
  // quendrelctl, copied into the bundle, run with these arguments.
  Ran ctl(const std::vector<std::string>& args, const Environment& environment = {}) {
    const fs::path copy = app / "Contents/MacOS/quendrelctl";
    if (!fs::exists(copy)) fs::copy_file(QUENDRELCTL, copy);
    return run(copy, args, environment);
  }
  // The code and terms version the pairing was given.
  std::vector<std::string> paired() const {
    std::istringstream all(read(home / "pair-arguments"));
    std::vector<std::string> parts;
    for (std::string part; std::getline(all, part, '\0');) parts.push_back(part);
    return parts.size() > 2 ? std::vector(parts.begin() + 2, parts.end()) : parts;  // -c, script
  }
  // Lets a setup.sh waiting at ~/hold go on.
  void release() const {
    const int fd = open((home / "hold").c_str(), O_WRONLY);
    if (fd >= 0 && ::write(fd, "go\n", 3) == 3) close(fd);
  }
};

// An installation as a user leaves it, with every kept name: nested folders, a symbolic
// link, private files, a folder that cannot be written, binary content, an executable stand-in
// Python. `tag` varies content.
inline void writeInstallation(const fs::path& folder, const std::string& tag = "mine") {
  std::string binary(300000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + tag[0]);
  write(folder / "VERSION", "2.0." + tag + "\n");
  write(folder / "engine/old.py", "# old engine " + tag + "\n");
  write(folder / "presets/.uplink", "{\"token\": \"secret-" + tag + "\"}\n", 0600);
  write(folder / "presets/scenes/Sunday morning.json", "{\"tag\": \"" + tag + "\"}\n");
  fs::create_symlink("scenes/Sunday morning.json", folder / "presets/current");
  write(folder / "projects/Easter/take.bin", binary, 0640);
  fs::create_directories(folder / "projects/Empty");
  fs::permissions(folder / "projects/Empty", fs::perms(0555));
  write(folder / "data/state.db", "state " + tag);
  write(folder / "logs/desk.log", "started " + tag + "\n");
  write(folder / ".venv/bin/python", pairStandIn, 0755);
  write(folder / ".python", "3.11 " + tag + "\n");
}

// Only the items under the kept names.
inline Tree keptItems(const fs::path& folder) {
  Tree tree;
  for (auto& [relative, kind] : snapshot(folder)) {
    for (std::string_view name : Installer::keptNames) {
      if (relative.substr(0, relative.find('/')) == name) tree[relative] = kind;
    }
  }
  return tree;
}

// Turns the event loop until `done` holds or `seconds` pass; gives whether it held.
inline bool waitFor(const std::function<bool()>& done, double seconds = 20) {
  return spinUntil(done, seconds);
}

// A setup run in this process, turning the event loop until it has answered and `running`
// is clear again: its message, "" when it succeeded.
inline std::string setUp(const std::string& code = "123456", const std::string& terms = "v") {
  auto answer = std::make_shared<std::optional<std::string>>();
  Installer::run(code, terms, [answer](bool ok, std::string message) {
    Platform::onMain([answer, ok, message] { *answer = ok ? "" : message; });
  });
  if (!waitFor([&] { return answer->has_value() && !Installer::running; })) return "(no answer)";
  return **answer;
}

}  // namespace setup_testing
