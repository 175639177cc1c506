#include "placement/Settling.h"

#include "platform/apps.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/process.h"
#include "text/Version.h"

namespace fs = std::filesystem;

namespace Settling {

std::optional<std::string> identity(const fs::path& bundle) {
  return platform::Bundle{bundle}.value("CFBundleIdentifier");
}

bool isOurs(const fs::path& bundle) {
  auto id = identity(bundle);
  return id && identities.count(*id) > 0;
}

std::string version(const fs::path& bundle) {
  return platform::Bundle{bundle}.value("CFBundleShortVersionString").value_or("");
}

std::string build(const fs::path& bundle) {
  return platform::Bundle{bundle}.value("CFBundleVersion").value_or("");
}

bool newer(const Pair& a, const Pair& b) {
  if (text::newerVersion(a.first, b.first)) return true;
  if (text::newerVersion(b.first, a.first)) return false;
  return text::newerVersion(a.second, b.second);
}

Pair running() {
  auto bundle = platform::mainBundle();
  if (!bundle) return {};
  return {bundle->value("CFBundleShortVersionString").value_or(""),
          bundle->value("CFBundleVersion").value_or("")};
}

bool isRunning(const fs::path& bundle) {
  const std::string wanted = platform::resolved(bundle);
  const int self = platform::selfPid();
  for (const auto& app : platform::runningApplications()) {
    if (app.pid == self || !app.bundle) continue;
    if (platform::resolved(*app.bundle) == wanted) return true;
  }
  return false;
}

bool inUse(const fs::path& folder) {
  const std::string prefix = platform::resolved(folder) + "/";
  for (const auto& app : platform::runningApplications()) {
    std::string path = app.bundle ? platform::resolved(*app.bundle) : std::string();
    if (path.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace Settling
