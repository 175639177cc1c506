#pragma once
// A computer to set up in a test: a temporary home folder with a copy of Quendrel in the
// user's Applications folder whose payload is made of small scripts, installations as a user
// leaves them, and a setup run in this process.
#include <optional>

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
// notes the code and terms version it was given in ~/paired, and fails saying what
// ~/pair-fails holds when there is one.
constexpr const char* setupScript = R"sh(#!/bin/bash
if [ -f "$HOME/leave-behind" ]; then (while [ -d "$HOME" ]; do sleep 1; done) & fi
cat "$HOME/.tarvic-setting-up" > marker-during-setup
if [ -p "$HOME/hold" ]; then read -r _ < "$HOME/hold"; fi
if [ -f "$HOME/setup-fails" ]; then cat "$HOME/setup-fails"; exit 1; fi
[ -x .venv/bin/python ] || install -D pair-stand-in .venv/bin/python
)sh";
constexpr const char* pairStandIn = R"sh(#!/bin/bash
[ "$1" = -c ] && printf '%s\n' "$3" "$4" > "$HOME/paired" || exit 1
cat "$HOME/pair-fails" 2>/dev/null && exit 1
echo "This computer is now connected to St Example's."
)sh";

class Computer {
 public:
  // `service` is the bundle's service address.
  explicit Computer(const std::string& service = "http://127.0.0.1:8765") {
    makeBundle(app, "com.quendrel.app", "1.0", "1", service);
    pretendMainBundle(app);
    write(payload / "setup.sh", setupScript, 0755);
    write(payload / "agent.sh",
          "#!/bin/bash\n[ \"$1\" = install ] || exit 1\n"
          "cat \"$HOME/agent-fails\" 2>/dev/null && exit 1\necho installed > agent-installed\n",
          0755);
    write(payload / "pair-stand-in", pairStandIn, 0755);
    write(payload / "VERSION", payloadVersion);
    write(payload / "ui/terms.html",
          "<!doctype html><main data-version=\"own\"><input type=\"checkbox\" disabled>\n"
          "<a id=\"privacy\" href=\"/privacy?from=terms#top\">Privacy</a></main>\n");
    write(payload / "presets/factory.json", "{\"from\": \"the payload\"}\n");
    write(payload / "Tarvic.app/Contents/Info.plist", "<plist/>\n");
    fs::copy_file(QUENDRELCTL, app / "Contents/MacOS/quendrelctl");
  }

  Home home;
  fs::path app = home / "Applications/Quendrel.app";  // this process's main bundle
  fs::path payload = app / "Contents/Resources/payload";

  fs::path desk() const { return Paths::movedInstall(); }
  fs::path marker() const { return home / ".tarvic-setting-up"; }
  // quendrelctl, copied into the bundle, run with these arguments.
  Ran ctl(const std::vector<std::string>& args, const Environment& environment = {}) {
    return run(app / "Contents/MacOS/quendrelctl", args, environment);
  }
};

// An installation as a user leaves it, with kept items of every kind: nested folders, a
// symbolic link, a private file, a folder that cannot be written, binary content, the desk's
// own Python (a stand-in).
inline void writeInstallation(const fs::path& folder) {
  std::string binary(300000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
  write(folder / "VERSION", "2.0\n");
  write(folder / "presets/.uplink", "{\"token\": \"secret\"}\n", 0600);
  write(folder / "presets/scenes/Sunday morning.json", "{}\n");
  fs::create_symlink("scenes/Sunday morning.json", folder / "presets/current");
  write(folder / "projects/Easter/take.bin", binary, 0640);
  fs::create_directories(folder / "projects/Empty");
  fs::permissions(folder / "projects/Empty", fs::perms(0555));
  write(folder / ".venv/bin/python", pairStandIn, 0755);
}

// Only the items under the kept names.
inline Tree keptItems(const fs::path& folder) {
  Tree tree = snapshot(folder);
  std::erase_if(tree, [](const auto& item) {
    const std::string top = item.first.substr(0, item.first.find('/'));
    return std::ranges::find(Installer::keptNames, top) == std::end(Installer::keptNames);
  });
  return tree;
}

// A setup run in this process with the code 123456, turning the event loop until it has
// answered and `running` is clear again: its message, "" when it succeeded.
inline std::string setUp() {
  auto answer = std::make_shared<std::optional<std::string>>();
  Installer::run("123456", "v", [answer](bool ok, std::string message) {
    Platform::onMain([answer, ok, message] { *answer = ok ? "" : message; });
  });
  const bool answered = spinUntil([&] { return answer->has_value() && !Installer::running; }, 20);
  return answered ? **answer : "(no answer)";
}

}  // namespace setup_testing
