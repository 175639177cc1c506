#pragma once
// Setting this computer up: laying the desk down from the payload in our bundle (keeping the
// user's work from an earlier installation), running the desk's setup, pairing it with the
// church's account and starting it. A run leaves a progress marker in the home folder while
// it works; a run that is cut short leaves the marker behind, and the next run reads it to
// decide what it may keep and what it must set aside.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Computer.h"

namespace Installer {

// True while a setup run is under way. Written and read on the main thread only.
extern bool running;

// A step that failed, with the message for the user.
struct Failed {
  std::string why;
};

// The entries a new installation inherits from the one before, in this order.
inline constexpr std::string_view keptNames[] = {"presets", "projects", "data",
                                                 "logs",    ".venv",    ".python"};

// Sets this computer up with the pairing code as typed and the version of the terms agreed
// to. Call on the main thread; returns at once and does the work on a background thread.
// `then(ok, message)` is called exactly once, on that background thread: ok with an empty
// message, or not ok with the message for the user. `running` is cleared by a block posted
// to the main queue before `then` is called.
//
// Runs never overlap, in this process or between processes of this user: a run that finds
// another under way changes nothing and fails with `alreadyUnderWay`.
void run(std::string code, std::string terms,
         std::function<void(bool ok, std::string message)> then);

inline const std::string alreadyUnderWay =
    std::string("This ") + Platform::computer +
    " is already being set up. Wait until that has finished, then try again.";

// The steps of a run, in their order. Each throws `Failed` or the file system's error.
void layDown();
void shell(const std::string& script, const std::string& label,
           const std::vector<std::string>& args);
void pair(const std::string& code, const std::string& terms);

// The inline script that the payload's Python runs to pair, and the address it pairs with:
// the service's host with "wss" ("ws" for a plain "http" service) and the path "/church".
std::string pairingScript();
std::string pairingAddress(std::string_view service);

// Writes the marker's word; false when it could not be written.
bool reach(std::string_view word);
// The marker's word, trimmed; empty when there is no readable marker.
std::string reached();
// The first name, starting with `place` itself, at which nothing stands: then the same name
// followed by a blank and 2, 3, …
std::filesystem::path spare(const std::filesystem::path& place);

}  // namespace Installer
