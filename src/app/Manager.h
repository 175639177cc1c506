#pragma once
// The one object that holds everything the user sees: the status item and its menu, the
// refresh timer, the windows, and the flows behind every menu line and alert. Each subsystem's
// flows are an object of their own beside it (the desk's actions, the move offer, the update
// line, the removal questions); the Manager composes them and keeps the launch, the menu and
// quitting.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desk/DeskActions.h"
#include "desk/DeskState.h"
#include "placement/MoveOffer.h"
#include "platform/Queue.h"
#include "platform/Ui.h"
#include "removal/RemovalQuestions.h"
#include "setup/SetupWindow.h"
#include "update/UpdateLine.h"

class Manager : private DeskActions::Host,
                private MoveOffer::Host,
                private UpdateLine::Host,
                private RemovalQuestions::Host {
 public:
  // `arguments` are the process's command-line arguments after the program's name.
  Manager(Platform::Ui& ui, std::vector<std::string> arguments);
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  // Launch and the periodic work.
  void applicationDidFinishLaunching();
  void carryOn() override;
  void applicationShouldHandleReopen();

  // Quitting. Every termination request (the menu, SIGTERM, the window system, another
  // copy) goes through `terminate`, which asks `applicationShouldTerminate`.
  void quitApp();
  bool applicationShouldTerminate();
  void terminate() override;

  // The menu.
  void refresh();
  void showSetup();
  void showWayIn(std::optional<std::string> first);
  static Platform::Drawing menuBarIcon();
  // The desktop entry and its knob, while this copy stands in an Applications folder.
  static void introduceToDesktop();

  // The subsystems' flows.
  DeskActions& desk() { return desk_; }
  MoveOffer& moves() { return moves_; }
  RemovalQuestions& removal() { return removal_; }

  // What the menu shows; for tests and quendrelctl.
  const DeskState& state() const { return state_; }
  Platform::StatusItem* item() const override { return item_.get(); }
  bool terminated() const { return terminated_; }

  // The menu's lines, top to bottom.
  enum Line : std::size_t {
    stateLine = 0,
    setupLine = 2,
    consoleLine = 3,
    updateLine = 4,
    showPassphraseLine = 6,
    changePassphraseLine = 7,
    restartLine = 8,
    uninstallLine = 10,
    quitLine = 11,
  };

 private:
  bool settingUp() const override;
  void lookAgain() override;
  // Whether an argument is exactly `flag`.
  bool given(std::string_view flag) const;

  Platform::Ui& ui_;
  std::vector<std::string> arguments_;

  std::unique_ptr<Platform::StatusItem> item_;
  std::unique_ptr<Platform::Repeating> timer_;
  DeskState state_ = DeskState::notInstalled();
  SetupWindow setup_;
  bool offeredSetup_ = false;
  DeskActions desk_;
  MoveOffer moves_;
  UpdateLine update_;
  RemovalQuestions removal_;
  bool terminated_ = false;
  // Answers that arrive after the Manager has gone find this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
