#include "support/ScriptedUi.h"

#include <chrono>

#include "platform/queue.h"

namespace testing_support {

std::unique_ptr<platform::StatusItem> ScriptedUi::makeStatusItem(
    const platform::Drawing&, const std::string& what, std::vector<platform::MenuLine> menu) {
  description = what;
  auto made = std::make_unique<ScriptedItem>(std::move(menu));
  item = made.get();
  return made;
}

int ScriptedUi::run(const platform::Alert& alert) {
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
  if (answer >= platform::firstButton) return answer;
  // A key that no button answers to leaves the alert up; a test that presses it is wrong.
  if (!key) return -1;
  return platform::firstButton + static_cast<int>(*key);
}

std::unique_ptr<platform::SetupView> ScriptedUi::makeSetupView() {
  if (!scriptedWindow) return platform::Ui::makeSetupView();
  auto view = std::make_unique<ScriptedSetupView>();
  window = view.get();
  ++windowsMade;
  return view;
}

bool spinUntil(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::turnLoop(0.02);
  }
  return true;
}

}  // namespace testing_support
