#include "desk/Paths.h"

#include <cstdlib>

#include "platform/Files.h"
#include "text/Text.h"

namespace fs = std::filesystem;

namespace Paths {
namespace {

bool present(const fs::path& p) {
  std::error_code error;
  return fs::exists(p, error);
}

}  // namespace

fs::path movedInstall() {
  return Platform::home() / "Library/Application Support/Quendrel/Desk";
}
fs::path firstInstall() {
  return Platform::home() / "Tarvic";
}
fs::path firstAside() {
  return Platform::home() / "Tarvic-previous";
}

fs::path install() {
  // The new place counts only once its agent script is there; an earlier installation
  // in the middle of being replaced (only its aside exists) keeps the first place.
  if (present(movedInstall() / "agent.sh")) return movedInstall();
  if (present(firstInstall()) || present(firstAside())) return firstInstall();
  return movedInstall();
}

fs::path settingUp() {
  return Platform::home() / ".tarvic-setting-up";
}

fs::path plist(std::string_view label) {
  return Platform::home() / "Library/LaunchAgents" / (std::string(label) + ".plist");
}

std::string label() {
  return std::string(present(plist(newLabel)) ? newLabel : oldLabel);
}

fs::path launchAgent() {
  return plist(label());
}

std::optional<std::int64_t> parsePort(std::string_view value) {
  return Text::wholeNumber(value);
}

std::int64_t port() {
  const char* value = std::getenv("QUENDREL_PORT");
  if (!value) value = std::getenv("TARVIC_PORT");
  if (!value) return 8080;
  return parsePort(value).value_or(8080);
}

}  // namespace Paths
