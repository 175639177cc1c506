#include "SetupFixture.h"
#include "support/MainBundle.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <sstream>

#include "desk/Paths.h"
#include "platform/Queue.h"
#include "setup/Installer.h"

namespace setup_testing {

namespace {

constexpr const char* setupScript = R"sh(#!/bin/bash
set -u
cd "$(dirname "$0")" || exit 1
if [ -f "$HOME/leave-behind" ]; then (while [ -d "$HOME" ]; do sleep 1; done) & fi
cat "$HOME/.tarvic-setting-up" > marker-during-setup 2>/dev/null
if [ -p "$HOME/hold" ]; then read -r _ < "$HOME/hold"; fi
if [ -f "$HOME/setup-fails" ]; then cat "$HOME/setup-fails"; exit 1; fi
echo "Setting up the desk in $PWD"
if ! [ -x .venv/bin/python ]; then
  mkdir -p .venv/bin && cp pair-stand-in .venv/bin/python && chmod 755 .venv/bin/python || exit 1
fi
)sh";

constexpr const char* pairStandIn = R"sh(#!/bin/bash
printf '%s\0' "$@" > "$HOME/pair-arguments"
pwd > "$HOME/pair-folder"
cat "$HOME/pair-says" 2>/dev/null || echo "This computer is now connected to St Example's."
exit "$(cat "$HOME/pair-status" 2>/dev/null || echo 0)"
)sh";

constexpr const char* agentScript = R"sh(#!/bin/bash
cd "$(dirname "$0")" || exit 1
[ "${1:-}" = install ] || { echo "agent.sh: no such command ${1:-}"; exit 1; }
if [ -f "$HOME/leave-behind" ]; then (while [ -d "$HOME" ]; do sleep 1; done) & fi
cat "$HOME/.tarvic-setting-up" > marker-during-agent 2>/dev/null
if [ -f "$HOME/agent-fails" ]; then cat "$HOME/agent-fails"; exit 1; fi
echo installed > agent-installed
)sh";

// Bytes that do not compress and differ by seed.
std::string bytes(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
  return out;
}

}  // namespace

Computer::Computer(const std::string& service)
    : app(home / "Applications/Quendrel.app"), payload(app / "Contents/Resources/payload") {
  makeBundle(app, "com.quendrel.app", "1.0", "1", service);
  pretendMainBundle(app);
  write(payload / "setup.sh", setupScript, 0755);
  write(payload / "agent.sh", agentScript, 0755);
  write(payload / "uninstall.sh", "#!/bin/bash\necho removed\n", 0755);
  write(payload / "pair-stand-in", pairStandIn, 0755);
  write(payload / "VERSION", "3.1.4 (payload)\n");
  write(payload / "engine/uplink.py", "# the pairing, in the real payload\n");
  write(payload / "ui/terms.html",
        "<!doctype html><html><body><main data-version=\"own\">\n"
        "<label><input type=\"checkbox\" disabled> I agree to it all.</label>\n"
        "<p><a id=\"privacy\" href=\"/privacy\">How we handle your information</a></p>\n"
        "</main></body></html>\n");
  write(payload / "presets/factory.json", "{\"from\": \"the payload\"}\n");
  write(payload / "Tarvic.app/Contents/Info.plist", "<plist/>\n");
}

fs::path Computer::desk() const {
  return Paths::movedInstall();
}

Ran Computer::ctl(const std::vector<std::string>& args, const Environment& environment) {
  fs::path copy = app / "Contents/MacOS/quendrelctl";
  if (!fs::exists(copy)) fs::copy_file(QUENDRELCTL, copy);
  return run(copy, args, environment);
}

std::vector<std::string> Computer::paired() const {
  std::istringstream all(read(home / "pair-arguments"));
  std::vector<std::string> parts;
  for (std::string part; std::getline(all, part, '\0');) parts.push_back(part);
  if (parts.size() >= 2) parts.erase(parts.begin(), parts.begin() + 2);  // "-c" and the script
  return parts;
}

void Computer::release() const {
  int fd = open((home / "hold").c_str(), O_WRONLY);
  if (fd >= 0 && ::write(fd, "go\n", 3) == 3) close(fd);
}

void writeInstallation(const fs::path& folder, const std::string& tag) {
  write(folder / "agent.sh", "#!/bin/bash\necho old agent " + tag + "\n", 0755);
  write(folder / "VERSION", "2.0." + tag + "\n");
  write(folder / "engine/old.py", "# old engine " + tag + "\n");
  write(folder / "presets/.access", "passphrase-" + tag + "\n", 0600);
  write(folder / "presets/.uplink", "{\"token\": \"secret-" + tag + "\"}\n", 0600);
  write(folder / "presets/scenes/Sunday morning.json", "{\"tag\": \"" + tag + "\"}\n");
  fs::create_symlink("scenes/Sunday morning.json", folder / "presets/current");
  write(folder / "projects/Easter/mix.json", "{\"mix\": \"" + tag + "\"}\n");
  write(folder / "projects/Easter/take.bin", bytes(300000, tag.size()), 0640);
  fs::create_directories(folder / "projects/Empty");
  write(folder / "data/state.db", bytes(4096, 7) + tag);
  write(folder / "logs/desk.log", "started " + tag + "\nstopped\n");
  write(folder / ".venv/bin/python", pairStandIn, 0755);
  write(folder / ".venv/pyvenv.cfg", "home = /usr/bin\n");
  write(folder / ".python", "3.11 " + tag + "\n");
}

Tree keptItems(const fs::path& folder) {
  Tree tree;
  for (auto& [relative, kind] : snapshot(folder)) {
    const std::string first = relative.substr(0, relative.find('/'));
    for (std::string_view name : Installer::keptNames) {
      if (first == name) tree[relative] = kind;
    }
  }
  return tree;
}

int keepFolders(const fs::path& temporary) {
  int found = 0;
  for (auto& entry : fs::directory_iterator(temporary)) {
    found += entry.path().filename().string().starts_with("quendrel-keep-");
  }
  return found;
}

Outcome setUp(const std::string& code, const std::string& terms) {
  auto answer = std::make_shared<std::optional<Outcome>>();
  Installer::run(code, terms, [answer](bool ok, std::string message) {
    Platform::onMain([answer, ok, message] { *answer = Outcome{ok, message}; });
  });
  if (!waitFor([&] { return answer->has_value() && !Installer::running; })) {
    return {false, "(no answer in time)"};
  }
  return **answer;
}

}  // namespace setup_testing
