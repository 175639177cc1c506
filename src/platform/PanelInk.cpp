#include "platform/PanelInk.h"

#include <algorithm>

namespace Platform {
namespace {

std::uint8_t eightBits(std::uint32_t sixteen) {
  return static_cast<std::uint8_t>((std::min<std::uint32_t>(sixteen, 0xffff) + 128) / 257);
}

int luma(Colour c) {
  return 299 * c.red + 587 * c.green + 114 * c.blue;
}

}  // namespace

Colour inkFor(const PanelHints& hints) {
  if (hints.trayColours.size() >= 3) {
    return {eightBits(hints.trayColours[0]), eightBits(hints.trayColours[1]),
            eightBits(hints.trayColours[2])};
  }
  if (hints.colourScheme == 1u) return white;
  if (hints.colourScheme == 2u) return black;
  return luma(hints.windowText) > luma(hints.window) ? white : black;
}

}  // namespace Platform
