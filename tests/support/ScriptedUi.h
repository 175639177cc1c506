#pragma once
// A user interface that answers alerts from a list and records everything shown,
// so a test can run a whole flow and check what the user would have seen.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/ScriptedSetupView.h"

namespace testing_support {

class ScriptedItem : public Platform::StatusItem {
 public:
  explicit ScriptedItem(std::vector<Platform::MenuLine> lines) : lines_(std::move(lines)) {}
  void setTitle(std::size_t line, const std::string& title) override {
    lines_.at(line).title = title;
  }
  void setEnabled(std::size_t line, bool enabled) override { lines_.at(line).enabled = enabled; }
  void setAction(std::size_t line, std::function<void()> action) override {
    lines_.at(line).action = std::move(action);
  }
  std::string title(std::size_t line) const override { return lines_.at(line).title; }
  bool enabled(std::size_t line) const override { return lines_.at(line).enabled; }

  const std::vector<Platform::MenuLine>& lines() const { return lines_; }
  // Chooses a line as the user would: nothing happens when it is disabled or has no action.
  void choose(std::size_t line) {
    auto& l = lines_.at(line);
    if (l.enabled && l.action) l.action();
  }

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
  std::string clipboard;
  bool menuBar = true;
  ScriptedItem* item = nullptr;
  // Runs while an alert is "on screen", before it is answered.
  std::function<void(const Platform::Alert&)> onAlert;

  bool hasMenuBar() override { return menuBar; }
  std::unique_ptr<Platform::StatusItem> makeStatusItem(
      const Platform::Drawing&, const std::string& description,
      std::vector<Platform::MenuLine> menu) override;
  int run(const Platform::Alert& alert) override;
  void copy(const std::string& text) override { clipboard = text; }
  void open(const std::string& address) override { opened.push_back(address); }

  std::string description;

  // The setup window: a scripted one when `scriptedWindow`, else the platform's (the Qt windows
  // under a widget application, none without).
  bool scriptedWindow = false;
  ScriptedSetupView* window = nullptr;  // the scripted one made, while it lives
  int windowsMade = 0;
  std::unique_ptr<Platform::SetupView> makeSetupView() override;
};

// Turns the event loop until `done` holds or `seconds` have passed; gives whether it held.
bool spinUntil(const std::function<bool()>& done, double seconds = 10);

}  // namespace testing_support
