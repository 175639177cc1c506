#pragma once
// The desk's own agent script and the passphrase it keeps: what the menu and quendrelctl
// ask of them.
#include <optional>
#include <string>
#include <variant>

namespace Agent {

// Whether the agent script is there to run.
bool installed();

// Runs "agent.sh start" to its end, in our own streams; its outcome is not looked at.
void start();

// Runs "agent.sh stop" to its end, in our own streams; true when it says the desk stopped.
bool stop();

// Starts "agent.sh restart" without waiting; gives the reason when it could not start.
std::optional<std::string> restart();

// The console passphrase, trimmed; nothing when there is none (no file, not UTF-8, blank).
std::optional<std::string> passphrase();

// A new passphrase made by "agent.sh set-passphrase".
struct Changed {
  std::string passphrase;  // trimmed, never empty
};
// The command failed, could not start, or left no passphrase: its last two non-empty lines,
// joined by a line feed.
struct NotChanged {
  std::string detail;
};
std::variant<Changed, NotChanged> changePassphrase();

// The console's address in the browser.
std::string consoleAddress();

}  // namespace Agent
