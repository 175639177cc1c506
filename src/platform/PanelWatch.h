#pragma once
// Follows what the desktop says about the panel the knob sits in — the tray manager's colours
// (X11), the settings portal's light or dark preference (D-Bus) and the toolkit's palette — and
// says which ink to draw the knob in whenever that changes. Needs the widget application.
#include <functional>
#include <memory>

#include "platform/Drawing.h"

namespace Platform {

class PanelWatch {
 public:
  explicit PanelWatch(std::function<void(Colour)> changed);
  ~PanelWatch();
  PanelWatch(const PanelWatch&) = delete;
  PanelWatch& operator=(const PanelWatch&) = delete;

  // The ink for what is known now.
  Colour ink() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Platform
