#include "desk/Agent.h"

#include "desk/Paths.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "text/Text.h"

namespace Agent {
namespace {

Platform::Command command(const char* word) {
  return {"/bin/bash", {(Paths::install() / "agent.sh").string(), word}, Paths::install().string()};
}

std::optional<std::string> readPassphrase() {
  auto bytes = Platform::readFile(Paths::install() / "presets/.access");
  if (!bytes || !Text::isUtf8(*bytes)) return std::nullopt;
  return Text::trim(*bytes);
}

}  // namespace

bool installed() {
  return Platform::isExecutableFile(Paths::install() / "agent.sh");
}

void start() {
  Platform::run(command("start"), Platform::Output::inherit);
}

bool stop() {
  auto ran = Platform::run(command("stop"), Platform::Output::inherit);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  return exited && exited->status == 0;
}

std::optional<std::string> restart() {
  return Platform::launch(command("restart"));
}

std::optional<std::string> passphrase() {
  auto found = readPassphrase();
  if (!found || found->empty()) return std::nullopt;
  return found;
}

std::variant<Changed, NotChanged> changePassphrase() {
  auto ran = Platform::run(command("set-passphrase"), Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  if (!exited) return NotChanged{};
  if (exited->status == 0) {
    // An empty passphrase is none: whatever the status, the desk did not make one.
    if (auto made = readPassphrase(); made && !made->empty()) return Changed{*made};
  }
  return NotChanged{
      Text::lastJoined(Text::nonEmptyLines(Text::utf8OrEmpty(exited->output)), 2, "\n")};
}

std::string consoleAddress() {
  return "http://localhost:" + std::to_string(Paths::port());
}

}  // namespace Agent
