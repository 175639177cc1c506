#include "placement/Settling.h"

#include "platform/apps.h"
#include "platform/bundle.h"
#include "platform/process.h"
#include "update/AppUpdate.h"

namespace fs = std::filesystem;

namespace Settling {
namespace {

std::string resolved(const fs::path& p) {
  std::error_code error;
  fs::path r = fs::weakly_canonical(p, error);
  return error ? p.string() : r.string();
}

}  // namespace

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
  if (AppUpdate::newer(a.first, b.first)) return true;
  if (AppUpdate::newer(b.first, a.first)) return false;
  return AppUpdate::newer(a.second, b.second);
}

Pair running() {
  auto bundle = platform::mainBundle();
  if (!bundle) return {};
  return {bundle->value("CFBundleShortVersionString").value_or(""),
          bundle->value("CFBundleVersion").value_or("")};
}

bool isRunning(const fs::path& bundle) {
  const std::string wanted = resolved(bundle);
  const int self = platform::selfPid();
  for (const auto& app : platform::runningApplications()) {
    if (app.pid == self || !app.bundle) continue;
    if (resolved(*app.bundle) == wanted) return true;
  }
  return false;
}

bool inUse(const fs::path& folder) {
  const std::string prefix = resolved(folder) + "/";
  for (const auto& app : platform::runningApplications()) {
    std::string path = app.bundle ? resolved(*app.bundle) : std::string();
    if (path.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace Settling
