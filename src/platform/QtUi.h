#pragma once
// The user-interface services drawn by Qt: a system-tray icon with its menu, message
// boxes, the clipboard and the desktop's handler for addresses. Needs the widget
// application of `WidgetLoop`.
#include "platform/Queue.h"
#include "platform/Ui.h"

namespace Platform {

// The event loop of a widget application, which stays when its last window closes.
class WidgetLoop : public EventLoop {
 public:
  WidgetLoop(int& argc, char** argv);
};

class QtUi : public Ui {
 public:
  bool hasMenuBar() override;
  std::unique_ptr<StatusItem> makeStatusItem(const Drawing& icon, const std::string& description,
                                             std::vector<MenuLine> menu) override;
  int run(const Alert& alert) override;
  void copy(const std::string& text) override;
  void open(const std::string& address) override;
  std::unique_ptr<SetupView> makeSetupView() override;
};

// The setup window drawn by the toolkit, made hidden; none without a widget application
// (quendrelctl's plain event loop has none).
std::unique_ptr<SetupView> makeQtSetupView();

}  // namespace Platform
