#include "platform/Apps.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "platform/Bundle.h"
#include "platform/Files.h"

namespace Platform {
namespace {

// The processes of this login: ours, sharing our home folder. Another login of the same
// account with another home, or a test's sandbox, keeps its copies to itself.
bool sameLogin(const std::filesystem::path& process) {
  struct stat s;
  if (stat(process.c_str(), &s) != 0 || s.st_uid != getuid()) return false;
  std::ifstream environ(process / "environ", std::ios::binary);
  std::string variable;
  while (std::getline(environ, variable, '\0')) {
    if (variable.starts_with("HOME=")) return variable.substr(5) == home().string();
  }
  return true;
}

}  // namespace

std::vector<RunningApp> runningApplications() {
  std::vector<RunningApp> apps;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::error_code linkError;
    std::filesystem::path exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
    if (linkError) continue;
    // A program whose file has been replaced still runs from where it was.
    const std::string deleted = " (deleted)";
    std::string text = exe.string();
    if (text.size() > deleted.size() && text.ends_with(deleted)) {
      exe = text.substr(0, text.size() - deleted.size());
    }
    auto bundle = bundleHolding(exe);
    if (!bundle) continue;

    int pid = std::stoi(name);
    if (isTerminated(pid) || !sameLogin(entry.path())) continue;
    auto program = bundle->value("CFBundleExecutable");
    apps.push_back({pid, bundle->location, bundle->value("CFBundleIdentifier"),
                    !program || *program == exe.filename()});
  }
  std::sort(apps.begin(), apps.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
  return apps;
}

bool isTerminated(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return true;
  // The state follows the command name, which is in parentheses and may hold anything.
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return true;
  char state = line[close + 2];
  return state == 'Z' || state == 'X';
}

bool terminate(int pid) {
  return kill(pid, SIGTERM) == 0;
}

}  // namespace Platform
