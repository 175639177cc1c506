#include "placement/Identity.h"

#include "platform/app.h"
#include "platform/apps.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/process.h"
#include "text/Version.h"

namespace fs = std::filesystem;

namespace Settling {
namespace {

// The program a bundle opens with: its CFBundleExecutable in Contents/MacOS, a plain name.
std::optional<fs::path> executableOf(const fs::path& app) {
  platform::Bundle bundle{app};
  auto name = bundle.value("CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." ||
      name->find('/') != std::string::npos) {
    return std::nullopt;
  }
  return bundle.executables() / *name;
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

std::optional<std::string> openAsNewInstance(const fs::path& app,
                                             const std::vector<std::string>& arguments) {
  auto executable = executableOf(app);
  if (!executable) return "The application has no program to open.";
  // Started from "/" like any application, so that our working folder (perhaps on the
  // disk image we came from) does not keep that image in use.
  return platform::launch({executable->string(), arguments, "/"}, platform::Output::inherit, true,
                          {{platform::newInstanceVariable, "1"}});
}

}  // namespace Settling
