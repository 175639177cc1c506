#pragma once
// The user-interface services the application's flows use: a status item with a fixed
// menu, modal alerts, the clipboard and opening addresses. The Qt implementation draws
// them on screen; tests use a scripted one.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Drawing.h"
#include "platform/SetupView.h"

namespace Platform {

enum class AlertStyle { informational, warning };

// The first button of an alert answers this; the next ones count up from it.
inline constexpr int firstButton = 1000;

struct Alert {
  AlertStyle style = AlertStyle::informational;
  std::string message;
  std::string informative;
  std::vector<std::string> buttons;         // none: the single default button "OK"
  std::optional<std::size_t> returnKey{0};  // the button that answers Return, if any
  std::optional<std::size_t> escapeKey;     // the button that answers Escape, if any

  // A message with the single default button.
  static Alert informational(std::string message, std::string informative) {
    return {AlertStyle::informational, std::move(message), std::move(informative), {}, 0, {}};
  }
  // The same as a warning.
  static Alert warning(std::string message, std::string informative) {
    return {AlertStyle::warning, std::move(message), std::move(informative), {}, 0, {}};
  }
  // A warning whose first button acts: Return and Escape go to the harmless second one.
  static Alert confirmation(std::string message, std::string informative, std::string act,
                            std::string keep) {
    return {AlertStyle::warning,
            std::move(message),
            std::move(informative),
            {std::move(act), std::move(keep)},
            1,
            1};
  }
};

struct MenuLine {
  std::string title;  // empty with `separator`
  bool separator = false;
  bool enabled = true;
  std::function<void()> action;  // none: the line does nothing when chosen
  std::string key;               // a key equivalent with the command modifier, e.g. "q"
};

// The menu-bar item and its menu. The lines are fixed once made; their titles, actions and
// enabled states change.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  virtual void setTitle(std::size_t line, const std::string& title) = 0;
  virtual void setEnabled(std::size_t line, bool enabled) = 0;
  virtual void setAction(std::size_t line, std::function<void()> action) = 0;
  virtual std::string title(std::size_t line) const = 0;
  virtual bool enabled(std::size_t line) const = 0;
};

class Ui {
 public:
  // Defined with the event loop, so that every program that uses the flows has this class's
  // type information, those without the toolkit's interface (quendrelctl) included.
  virtual ~Ui();

  // Whether there is a menu bar (system tray) to put a status item in.
  virtual bool hasMenuBar() = 0;
  virtual std::unique_ptr<StatusItem> makeStatusItem(const Drawing& icon,
                                                     const std::string& description,
                                                     std::vector<MenuLine> menu) = 0;
  // Brings the application to the front, runs the alert modally and gives the button
  // chosen (firstButton + its index).
  virtual int run(const Alert& alert) = 0;
  virtual void copy(const std::string& text) = 0;
  virtual void open(const std::string& address) = 0;
  // The setup window, made hidden; none unless overridden (the toolkit's interface makes the
  // Qt windows).
  virtual std::unique_ptr<SetupView> makeSetupView();
};

}  // namespace Platform
