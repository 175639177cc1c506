#pragma once
// The one object that holds everything the user sees: the status item and its menu,
// the refresh timer, the windows and the flows behind every menu line and alert.
// Its flows are defined beside their subsystems (src/desk, src/setup, src/placement,
// src/update, src/removal); this folder holds the launch, the menu and quitting.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desk/DeskState.h"
#include "platform/apps.h"
#include "platform/queue.h"
#include "platform/ui.h"
#include "setup/SetupWindow.h"
#include "update/AppUpdate.h"

class Whereabouts;

class Manager {
 public:
  // `arguments` are the process's command-line arguments after the program's name.
  Manager(platform::Ui& ui, std::vector<std::string> arguments);
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  // Launch and the periodic work.
  void applicationDidFinishLaunching();
  void carryOn();
  void applicationShouldHandleReopen();

  // Quitting. Every termination request (the menu, SIGTERM, the window system, another
  // copy) goes through `terminate`, which asks `applicationShouldTerminate`.
  void quitApp();
  bool applicationShouldTerminate();
  void terminate();

  // The menu.
  void refresh();
  void showSetup();
  void showWayIn(std::optional<std::string> first);
  static platform::Drawing menuBarIcon();

  // The desk.
  void startConsoleIfStopped();
  void restartDesk();
  void openConsole();
  void showPassphrase();
  void changePassphrase();

  // Placement: one copy, in an Applications folder.
  bool offerToMove();
  bool leaveItToAnother();
  bool takeCurrentName();
  void putAwayWhereItCameFrom();
  void reopen(const std::filesystem::path& app, const std::filesystem::path& here, bool handOver);
  bool closeOtherCopies();
  // Every other running copy of ours, wherever it lies, that has not terminated.
  static std::vector<platform::RunningApp> otherCopies();

  // Self-update.
  void lookForNewApp();
  void installNewApp();

  // Removal.
  void lookWhereIAm();
  void uninstall();
  void askAboutTrash(const std::filesystem::path& inTrash);
  void askAboutGone();
  void finishUninstalling(const std::optional<std::filesystem::path>& app);
  std::optional<std::pair<bool, std::string>> runUninstaller(
      const std::optional<std::filesystem::path>& app);
  Whereabouts& whereabouts() const { return *whereabouts_; }

  // What the menu shows; for tests and quendrelctl.
  const DeskState& state() const { return state_; }
  platform::StatusItem* item() const { return item_.get(); }
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
  // The handler every showing of the setup window gets: called after a successful setup.
  std::function<void()> afterSetup();
  void present(const std::string& passphrase, const std::string& title, bool offerRestart);
  // Whether an argument is exactly `flag`.
  bool given(std::string_view flag) const;

  platform::Ui& ui_;
  std::vector<std::string> arguments_;

  std::unique_ptr<platform::StatusItem> item_;
  std::unique_ptr<platform::Repeating> timer_;
  DeskState state_ = DeskState::notInstalled();
  std::unique_ptr<SetupWindow> setup_;
  bool offeredSetup_ = false;
  std::unique_ptr<Whereabouts> whereabouts_;
  std::optional<std::string> asked_;
  // A removal question or report is on screen: the looks made meanwhile wait for it.
  bool removing_ = false;
  std::optional<std::string> uninstaller_;
  std::optional<AppUpdate::Published> offered_;
  std::optional<std::filesystem::path> readyToInstall_;
  std::optional<std::string> lastProblem_;
  bool terminated_ = false;
  // Answers that arrive after the Manager has gone find this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
