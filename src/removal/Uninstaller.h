#pragma once
// One run of the desk's uninstaller, shared by the menu's flows and quendrelctl: it removes
// the desk (and, when told where, the application) and says what it did.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Ui.h"

namespace Uninstaller {

struct Outcome {
  bool removed = false;  // the script ended with status 0
  std::string text;      // what to show: the "✓" lines, or the reason it failed
  bool operator==(const Outcome&) const = default;
};

// The bundle's own uninstaller ("payload/uninstall.sh" in its resources), read whole; nothing
// when there is no bundle or the file cannot be read as UTF-8.
std::optional<std::string> bundled();

// Runs the uninstaller and waits for it. `script` is its text as read at start-up: it runs from
// a private temporary copy, so it works even after the bundle has gone; without it (or when the
// copy cannot be written) the desk's installed "uninstall.sh" runs. `app` is passed on as
// "--app PATH" so that the script removes that bundle too. Nothing when there is no script to
// run at all.
std::optional<Outcome> run(const std::optional<std::string>& script,
                           const std::optional<std::filesystem::path>& app);

// What the user is told after `run`: removed, not fully removed, or that there was nothing
// to run (with the advice to drag things to the Trash).
Platform::Alert report(const std::optional<Outcome>& outcome);

// The uninstaller's output as shown: colour codes removed, lines split and trimmed of
// blanks and tabs, empty lines dropped. Invalid UTF-8 counts as no output.
std::vector<std::string> lines(const std::string& output);

}  // namespace Uninstaller
