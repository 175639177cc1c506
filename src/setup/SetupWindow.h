#pragma once
// The small window in which the user types the six-digit pairing code. It has the user agree
// to the service's terms, starts the setup run, shows in one line what the run is doing and
// how it ended, and offers to close once this computer is set up. The application keeps one
// for its whole life; showing it again brings it back as it was left.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/Ui.h"
#include "setup/AgreementWindow.h"

class SetupWindow {
 public:
  explicit SetupWindow(Platform::Ui& ui);
  ~SetupWindow();
  SetupWindow(const SetupWindow&) = delete;
  SetupWindow& operator=(const SetupWindow&) = delete;

  // Puts the window up (making it the first time) and keeps `then`, replacing any earlier
  // handler, to be called on the main thread after every successful setup run.
  void show(std::function<void()> then);

  // What stays of a typed code: the characters whose first code point is a number of any
  // script, in order, and how many characters that is.
  struct Code {
    std::string text;
    std::size_t characters = 0;
  };
  static Code numbersOf(const std::string& typed);

 private:
  void edited(const std::string& text);
  void pressed();
  void connect();
  void giveBackCode();
  void start(const std::string& terms);
  void finish();

  Platform::Ui& ui_;
  std::unique_ptr<Platform::SetupView> window_;
  std::function<void()> onDone_;
  AgreementWindow agreement_;
  bool done_ = false;  // the button reads "Close"
  // Results that arrive after the window object has gone find this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
