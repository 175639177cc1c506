#pragma once
// Which colour the knob is drawn in. The knob is a template image: its shape is ours, its
// colour is the panel's. The panel names that colour in one of three ways, most precise first.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Drawing.h"

namespace Platform {

// What the desktop tells about the panel the knob sits in.
struct PanelHints {
  // The tray manager's _NET_SYSTEM_TRAY_COLORS as read: 16-bit red, green and blue of its
  // foreground, error, warning and success colours. Empty when the tray names none.
  std::vector<std::uint32_t> trayColours;
  // The settings portal's org.freedesktop.appearance color-scheme once it has answered:
  // 0 no preference, 1 prefer dark, 2 prefer light.
  std::optional<std::uint32_t> colourScheme;
  // The toolkit palette's window colour and the colour of text on it.
  Colour window{239, 239, 239};
  Colour windowText{0, 0, 0};
};

inline constexpr Colour black{0, 0, 0};
inline constexpr Colour white{255, 255, 255};

// The tray's own foreground where it names one; otherwise light on a desktop that prefers dark
// and dark on one that prefers light; otherwise the palette's lighter or darker one, after
// whether its text is lighter than its windows.
Colour inkFor(const PanelHints& hints);

}  // namespace Platform
