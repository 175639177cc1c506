#include "support/ScriptedUi.h"

#include <chrono>

#include "platform/QtUi.h"
#include "platform/Queue.h"

namespace testing_support {

std::unique_ptr<Platform::StatusItem> ScriptedUi::makeStatusItem(
    const Platform::Drawing&, const std::string& what, std::vector<Platform::MenuLine> menu) {
  description = what;
  auto made = std::make_unique<ScriptedItem>(std::move(menu));
  item = made.get();
  return made;
}

int ScriptedUi::run(const Platform::Alert& alert) {
  alerts.push_back(alert);
  if (onAlert) onAlert(alert);
  const int answer = answers.empty() ? returnKey : answers.front();
  if (!answers.empty()) answers.pop_front();
  if (answer >= Platform::firstButton) return answer;
  const std::optional<std::size_t> key = answer == returnKey   ? alert.returnKey
                                         : answer == escapeKey ? alert.escapeKey
                                                               : std::nullopt;
  // A key that no button answers to leaves the alert up; a test that presses it is wrong.
  return key ? Platform::firstButton + static_cast<int>(*key) : -1;
}

std::unique_ptr<Platform::SetupView> ScriptedUi::makeSetupView() {
  if (!scriptedWindow) return Platform::makeQtSetupView();
  auto view = std::make_unique<ScriptedSetupView>();
  window = view.get();
  ++windowsMade;
  return view;
}

bool spinUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Platform::turnLoop(0.02);
  }
  return true;
}

}  // namespace testing_support
