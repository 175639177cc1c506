#include "desk/Agent.h"

#include "desk/Paths.h"
#include "platform/files.h"
#include "platform/process.h"
#include "text/Text.h"

namespace Agent {
namespace {

platform::Command command(const char* word) {
  return {"/bin/bash", {(Paths::install() / "agent.sh").string(), word}, Paths::install().string()};
}

std::optional<std::string> readPassphrase() {
  auto bytes = platform::readFile(Paths::install() / "presets/.access");
  if (!bytes || !text::isUtf8(*bytes)) return std::nullopt;
  return text::trim(*bytes);
}

}  // namespace

bool installed() { return platform::isExecutableFile(Paths::install() / "agent.sh"); }

void start() { platform::run(command("start"), platform::Output::inherit); }

bool stop() {
  auto ran = platform::run(command("stop"), platform::Output::inherit);
  auto* exited = std::get_if<platform::Exited>(&ran);
  return exited && exited->status == 0;
}

std::optional<std::string> restart() { return platform::launch(command("restart")); }

std::optional<std::string> passphrase() {
  auto found = readPassphrase();
  if (!found || found->empty()) return std::nullopt;
  return found;
}

std::variant<Changed, NotChanged> changePassphrase() {
  auto ran = platform::run(command("set-passphrase"), platform::Output::pipe);
  auto* exited = std::get_if<platform::Exited>(&ran);
  if (!exited) return NotChanged{};
  if (exited->status == 0) {
    // An empty passphrase is none: whatever the status, the desk did not make one.
    if (auto made = readPassphrase(); made && !made->empty()) return Changed{*made};
  }
  return NotChanged{text::lastJoined(text::nonEmptyLines(text::utf8OrEmpty(exited->output)), 2, "\n")};
}

std::string consoleAddress() { return "http://localhost:" + std::to_string(Paths::port()); }

}  // namespace Agent
