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
  int answer = returnKey;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  std::optional<std::size_t> key;
  if (answer == returnKey) key = alert.returnKey;
  if (answer == escapeKey) key = alert.escapeKey;
  if (answer >= Platform::firstButton) return answer;
  // A key that no button answers to leaves the alert up; a test that presses it is wrong.
  if (!key) return -1;
  return Platform::firstButton + static_cast<int>(*key);
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
