#include "placement/Identity.h"

#include "platform/App.h"
#include "platform/Apps.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "text/Version.h"

namespace fs = std::filesystem;

namespace Settling {
namespace {

// The program a bundle opens with: its CFBundleExecutable in Contents/MacOS, a plain name.
std::optional<fs::path> executableOf(const fs::path& app) {
  Platform::Bundle bundle{app};
  auto name = bundle.value("CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." ||
      name->find('/') != std::string::npos) {
    return std::nullopt;
  }
  return bundle.executables() / *name;
}

}  // namespace

std::optional<fs::path> program(const fs::path& bundle) {
  return executableOf(bundle);
}

std::optional<std::string> identity(const fs::path& bundle) {
  return Platform::Bundle{bundle}.value("CFBundleIdentifier");
}

bool isOurs(const fs::path& bundle) {
  auto id = identity(bundle);
  return id && identities.count(*id) > 0;
}

std::string version(const fs::path& bundle) {
  return Platform::Bundle{bundle}.value("CFBundleShortVersionString").value_or("");
}

std::string build(const fs::path& bundle) {
  return Platform::Bundle{bundle}.value("CFBundleVersion").value_or("");
}

bool newer(const Pair& a, const Pair& b) {
  if (Text::newerVersion(a.first, b.first)) return true;
  if (Text::newerVersion(b.first, a.first)) return false;
  return Text::newerVersion(a.second, b.second);
}

Pair running() {
  auto bundle = Platform::mainBundle();
  if (!bundle) return {};
  return {bundle->value("CFBundleShortVersionString").value_or(""),
          bundle->value("CFBundleVersion").value_or("")};
}

bool isRunning(const fs::path& bundle) {
  const std::string wanted = Platform::resolved(bundle);
  const int self = Platform::selfPid();
  for (const auto& app : Platform::runningApplications()) {
    if (app.pid == self || !app.bundle) continue;
    if (Platform::resolved(*app.bundle) == wanted) return true;
  }
  return false;
}

bool inUse(const fs::path& folder) {
  const std::string prefix = Platform::resolved(folder) + "/";
  for (const auto& app : Platform::runningApplications()) {
    std::string path = app.bundle ? Platform::resolved(*app.bundle) : std::string();
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
  return Platform::launch({executable->string(), arguments, "/"}, Platform::Output::inherit, true,
                          {{Platform::newInstanceVariable, "1"}});
}

}  // namespace Settling
