#pragma once
// User interfaces for the setup tests: they record the menu, the alerts and the addresses
// opened in the browser; one puts up a scripted setup window, the other the real Qt windows.
#include <memory>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/ScriptedSetupView.h"

namespace setup_testing {

// A menu whose lines only remember what they were told.
class MenuLines : public Platform::StatusItem {
 public:
  explicit MenuLines(std::vector<Platform::MenuLine> made) : lines(std::move(made)) {}
  void setTitle(std::size_t line, const std::string& title) override {
    lines.at(line).title = title;
  }
  void setEnabled(std::size_t line, bool enabled) override { lines.at(line).enabled = enabled; }
  void setAction(std::size_t line, std::function<void()> action) override {
    lines.at(line).action = std::move(action);
  }
  std::string title(std::size_t line) const override { return lines.at(line).title; }
  bool enabled(std::size_t line) const override { return lines.at(line).enabled; }
  std::vector<Platform::MenuLine> lines;
};

class RecordingUi : public Platform::Ui {
 public:
  std::vector<std::string> opened;
  std::vector<Platform::Alert> alerts;  // each answered with its first button
  MenuLines* menu = nullptr;

  bool hasMenuBar() override { return true; }
  std::unique_ptr<Platform::StatusItem> makeStatusItem(
      const Platform::Drawing&, const std::string&,
      std::vector<Platform::MenuLine> lines) override {
    auto made = std::make_unique<MenuLines>(std::move(lines));
    menu = made.get();
    return made;
  }
  int run(const Platform::Alert& alert) override {
    alerts.push_back(alert);
    return Platform::firstButton;
  }
  void copy(const std::string&) override {}
  void open(const std::string& address) override { opened.push_back(address); }
};

class ScriptedWindowUi : public RecordingUi {
 public:
  testing_support::ScriptedSetupView* window = nullptr;  // the one made, while it lives
  int made = 0;

  std::unique_ptr<Platform::SetupView> makeSetupView() override {
    auto view = std::make_unique<testing_support::ScriptedSetupView>();
    window = view.get();
    ++made;
    return view;
  }
};

}  // namespace setup_testing
