#include "SetupFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>

#include "desk/Paths.h"
#include "platform/Bundle.h"
#include "platform/Queue.h"
#include "setup/Installer.h"
#include "support/MainBundle.h"

extern char** environ;

using testing_support::read;
using testing_support::write;

namespace setup_testing {

namespace {

constexpr const char* setupScript = R"sh(#!/bin/bash
set -u
cd "$(dirname "$0")" || exit 1
cat "$HOME/.tarvic-setting-up" > marker-during-setup 2>/dev/null
if [ -p "$HOME/hold" ]; then read -r _ < "$HOME/hold"; fi
if [ -f "$HOME/setup-fails" ]; then cat "$HOME/setup-fails"; exit 1; fi
echo "Setting up the desk in $PWD"
if ! [ -x .venv/bin/python ]; then
  mkdir -p .venv/bin && cp pair-stand-in .venv/bin/python && chmod 755 .venv/bin/python || exit 1
fi
echo "The desk is ready."
)sh";

constexpr const char* pairStandIn = R"sh(#!/bin/bash
# Stands in for the desk's Python: records how it was called and answers as told.
printf '%s\0' "$@" > "$HOME/pair-arguments"
pwd > "$HOME/pair-folder"
if [ -f "$HOME/pair-says" ]; then cat "$HOME/pair-says"; fi
if [ -f "$HOME/pair-status" ]; then exit "$(cat "$HOME/pair-status")"; fi
[ -f "$HOME/pair-says" ] || echo "This computer is now connected to St Example's."
exit 0
)sh";

constexpr const char* agentScript = R"sh(#!/bin/bash
cd "$(dirname "$0")" || exit 1
[ "${1:-}" = install ] || { echo "agent.sh: no such command ${1:-}"; exit 1; }
cat "$HOME/.tarvic-setting-up" > marker-during-agent 2>/dev/null
if [ -f "$HOME/agent-fails" ]; then cat "$HOME/agent-fails"; exit 1; fi
echo installed > agent-installed
)sh";

std::string bytes(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (auto& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return out;
}

std::string kindOf(const fs::path& path) {
  auto status = fs::symlink_status(path);
  std::ostringstream s;
  s << std::oct << static_cast<unsigned>(status.permissions()) << ' ';
  if (fs::is_symlink(status)) return "link " + fs::read_symlink(path).string();
  if (fs::is_directory(status)) return "folder " + s.str();
  if (!fs::is_regular_file(status)) return "other " + s.str();
  return "file " + s.str() + read(path);
}

}  // namespace

Computer::Computer(const std::string& service)
    : app(home / "Applications/Quendrel.app"), payload(app / "Contents/Resources/payload") {
  testing_support::makeBundle(app, "com.quendrel.app", "1.0", "1", service);
  testing_support::pretendMainBundle(app);
  writePayload(payload);
}

fs::path Computer::desk() const {
  return Paths::movedInstall();
}

fs::path Computer::ctl() {
  fs::path copy = app / "Contents/MacOS/quendrelctl";
  if (!fs::exists(copy)) fs::copy_file(QUENDRELCTL, copy);
  return copy;
}

void writePayload(const fs::path& payload) {
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

void writeInstallation(const fs::path& folder, const std::string& tag) {
  write(folder / "agent.sh", "#!/bin/bash\necho old agent " + tag + "\n", 0755);
  write(folder / "VERSION", "2.0." + tag + "\n");
  write(folder / "engine/old.py", "# old engine " + tag + "\n");
  write(folder / "presets/.access", "passphrase-" + tag + "\n", 0600);
  write(folder / "presets/.uplink", "{\"token\": \"secret-" + tag + "\"}\n", 0600);
  write(folder / "presets/scenes/Sunday morning.json",
        "{\"faders\": [1, 2, 3], \"tag\": \"" + tag + "\"}\n");
  fs::create_symlink("scenes/Sunday morning.json", folder / "presets/current");
  write(folder / "projects/Easter/mix.json", "{\"mix\": \"" + tag + "\"}\n");
  write(folder / "projects/Easter/take.bin", bytes(300000, static_cast<unsigned>(tag.size())),
        0640);
  fs::create_directories(folder / "projects/Empty");
  write(folder / "data/state.db", bytes(4096, 7) + tag);
  write(folder / "logs/desk.log", "started " + tag + "\nstopped\n");
  write(folder / ".venv/bin/python", pairStandIn, 0755);
  write(folder / ".venv/pyvenv.cfg", "home = /usr/bin\n");
  write(folder / ".python", "3.11 " + tag + "\n");
}

Tree snapshot(const fs::path& folder) {
  Tree tree;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    tree[it->path().lexically_relative(folder).string()] = kindOf(it->path());
  }
  return tree;
}

Tree keptItems(const fs::path& folder) {
  Tree tree;
  for (std::string_view name : Installer::keptNames) {
    fs::path item = folder / name;
    if (!fs::exists(fs::symlink_status(item))) continue;
    tree[std::string(name)] = kindOf(item);
    if (fs::is_directory(fs::symlink_status(item))) {
      for (auto& [relative, kind] : snapshot(item)) tree[std::string(name) + "/" + relative] = kind;
    }
  }
  return tree;
}

std::string difference(const Tree& a, const Tree& b) {
  for (const auto& [path, kind] : a) {
    auto found = b.find(path);
    if (found == b.end()) return path + " is only on the left";
    if (found->second != kind) return path + " differs";
  }
  for (const auto& [path, kind] : b) {
    if (!a.count(path)) return path + " is only on the right";
  }
  return "";
}

bool contains(const Tree& whole, const Tree& part, std::string* first) {
  for (const auto& [path, kind] : part) {
    auto found = whole.find(path);
    if (found == whole.end() || found->second != kind) {
      if (first) *first = path;
      return false;
    }
  }
  return true;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Platform::turnLoop(0.01);
  }
  return true;
}

Outcome setUp(const std::string& code, const std::string& terms) {
  auto mutex = std::make_shared<std::mutex>();
  auto answer = std::make_shared<std::optional<Outcome>>();
  Installer::run(code, terms, [mutex, answer](bool ok, std::string message) {
    std::lock_guard lock(*mutex);
    *answer = Outcome{ok, std::move(message)};
  });
  bool answered = waitFor([&] {
    std::lock_guard lock(*mutex);
    return answer->has_value() && !Installer::running;
  });
  if (!answered) return {false, "(no answer in time)"};
  std::lock_guard lock(*mutex);
  return **answer;
}

Ran runProgram(const fs::path& program, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& environment,
               double timeout) {
  std::string outName = (fs::temp_directory_path() / "program-out-XXXXXX").string();
  std::string errName = (fs::temp_directory_path() / "program-err-XXXXXX").string();
  int outFd = mkstemp(outName.data());
  int errFd = mkstemp(errName.data());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& given : environment) replaced = replaced || given.first == name;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : environment) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{program.string()};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  Ran ran;
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(10000);
    }
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  close(errFd);
  ran.out = read(outName);
  ran.err = read(errName);
  unlink(outName.c_str());
  unlink(errName.c_str());
  return ran;
}

Background::Background(const fs::path& program, const std::vector<std::string>& args,
                       fs::path output)
    : output_(std::move(output)) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<std::string> argStrings{program.string()};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
}

Background::~Background() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  int status;
  for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(20000);
  kill(-pid_, SIGKILL);
  waitpid(pid_, &status, 0);
}

std::string Background::output() const {
  return read(output_);
}

}  // namespace setup_testing
