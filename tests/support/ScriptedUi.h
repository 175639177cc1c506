#pragma once
// A user interface that answers alerts from a list and records everything shown,
// so a test can run a whole flow and check what the user would have seen.
#include <chrono>
#include <deque>

#include "platform/QtUi.h"
#include "support/ScriptedSetupView.h"

namespace testing_support {

class ScriptedItem : public Platform::StatusItem {
 public:
  explicit ScriptedItem(std::vector<Platform::MenuLine> lines) : lines_(std::move(lines)) {}
  void setTitle(size_t i, const std::string& title) override { lines_.at(i).title = title; }
  void setEnabled(size_t i, bool enabled) override { lines_.at(i).enabled = enabled; }
  void setAction(size_t i, std::function<void()> a) override { lines_.at(i).action = std::move(a); }
  std::string title(size_t i) const override { return lines_.at(i).title; }
  bool enabled(size_t i) const override { return lines_.at(i).enabled; }

  const std::vector<Platform::MenuLine>& lines() const { return lines_; }
  // Chooses a line as the user would: nothing happens when it is disabled or has no action.
  void choose(size_t i) { callCopy(lines_.at(i).enabled ? lines_.at(i).action : nullptr); }

 private:
  std::vector<Platform::MenuLine> lines_;
};

class ScriptedUi : public Platform::Ui {
 public:
  // Alerts are answered in order; an alert with no answer left gets "Return".
  enum Key { returnKey = -1, escapeKey = -2 };
  std::deque<int> answers;
  std::vector<Platform::Alert> alerts;
  std::vector<std::string> opened;
  std::string clipboard, description;
  ScriptedItem* item = nullptr;
  // Runs while an alert is "on screen", before it is answered.
  std::function<void(const Platform::Alert&)> onAlert;

  bool hasMenuBar() override { return true; }
  std::unique_ptr<Platform::StatusItem> makeStatusItem(
      const Platform::Drawing&, const std::string& what,
      std::vector<Platform::MenuLine> menu) override {
    description = what;
    auto made = std::make_unique<ScriptedItem>(std::move(menu));
    item = made.get();
    return made;
  }
  int run(const Platform::Alert& alert) override {
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
  void copy(const std::string& text) override { clipboard = text; }
  void open(const std::string& address) override { opened.push_back(address); }

  // The setup window: a scripted one when `scriptedWindow`, else the platform's (the Qt windows
  // under a widget application, none without).
  bool scriptedWindow = false;
  ScriptedSetupView* window = nullptr;  // the scripted one made, while it lives
  int windowsMade = 0;
  std::unique_ptr<Platform::SetupView> makeSetupView() override {
    if (!scriptedWindow) return Platform::makeQtSetupView();
    ++windowsMade;
    auto view = std::make_unique<ScriptedSetupView>();
    window = view.get();
    return view;
  }
};

// Turns the event loop until `done` holds or `seconds` have passed; gives whether it held.
inline bool spinUntil(const std::function<bool()>& done, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (; !done(); Platform::turnLoop(0.02))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

}  // namespace testing_support
