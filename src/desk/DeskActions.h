#pragma once
// What the menu does with the desk: starting a stopped desk at launch, restarting it, opening
// its console in the browser, and showing and changing the console's passphrase.
#include <memory>
#include <string>

#include "platform/Ui.h"

class DeskActions {
 public:
  // What the actions need from the application around them.
  class Host {
   public:
    virtual ~Host() = default;
    // Whether this process is setting the computer up.
    virtual bool settingUp() const = 0;
    // Looks again at where the application is and what the desk is doing.
    virtual void lookAgain() = 0;
  };

  DeskActions(Platform::Ui& ui, Host& host) : ui_(ui), host_(host) {}
  ~DeskActions() { *alive_ = false; }
  DeskActions(const DeskActions&) = delete;
  DeskActions& operator=(const DeskActions&) = delete;

  // Starts the desk in the background when it is installed, not being set up or updated, and
  // not running; then looks again.
  void startConsoleIfStopped();
  void restartDesk();
  void openConsole();
  void showPassphrase();
  void changePassphrase();

 private:
  void present(const std::string& passphrase, const std::string& title, bool offerRestart);

  Platform::Ui& ui_;
  Host& host_;
  // Work that ends after the actions have gone finds this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
