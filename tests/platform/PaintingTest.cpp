// Rendering drawings to pixels: directions, alpha, erasing, round caps, the y-up coordinates and
// the ink, and which ink the panel asks for.
#include <gtest/gtest.h>

#include "platform/Drawing.h"
#include "platform/Painting.h"
#include "platform/PanelInk.h"

using namespace Platform;

TEST(Painting, EachDrawingPaintsWhereItShould) {
  constexpr double c = 9, r = 7.2, w = 1.35;
  struct Probe {
    double x, y;
    int low, high;  // the alpha there, within these bounds
  };
  auto on = [](double x, double y) { return Probe{x, y, 255, 255}; };
  auto off = [](double x, double y) { return Probe{x, y, 0, 0}; };
  const std::pair<std::vector<Step>, std::vector<Probe>> cases[] = {
      // From lower left over the top to upper right, clockwise: the knob's lit gauge.
      {{Arc{{c, c}, r, 215, 31, true, w, 1}},
       {on(c, c + r), off(c, c - r), on(c - r, c), off(c + r, c)}},
      // The same ends the other way round go under the bottom.
      {{Arc{{c, c}, r, 215, 31, false, w, 1}}, {off(c, c + r), on(c, c - r)}},
      // Crossing 0°, and alpha making a partly transparent stroke.
      {{Arc{{c, c}, r, 31, -35, true, w, 0.32}}, {{c + r, c, 78, 86}, off(c - r, c), off(c, c)}},
      // Erasing cuts through until restored.
      {{Disc{{c, c}, 6}, Save{}, Erase{}, Disc{{c, c}, 3}, Line{{c - 6, c}, {c - 4, c}, 1},
        Restore{}, Disc{{c, c}, 1}},
       {off(c + 2, c), on(c + 4.5, c), off(c - 5, c), on(c, c), off(c + 8.5, c)}},
      // Lines have round caps.
      {{Line{{5, c}, {13, c}, 2}}, {on(9, c), {13.6, c, 129, 255}, {13.6, c + 0.9, 0, 63}}},
  };
  for (const auto& [steps, probes] : cases) {
    const Rendered image = render(Drawing{18, steps}, 8);
    for (const Probe& p : probes) {
      const int alpha = image.at(p.x, p.y);
      EXPECT_TRUE(alpha >= p.low && alpha <= p.high)
          << steps.size() << " steps, at (" << p.x << ", " << p.y << "): " << alpha;
    }
  }
}

TEST(Painting, YRunsUpRowsRunDownAndTheInkKeepsItsAlpha) {
  const Rendered dot = render(Drawing{18, {Disc{{4, 14}, 2}}}, 2);
  ASSERT_EQ(dot.alpha.size(), 36u * 36u);
  // (4, 14) in the drawing is 4 points from the top: row 8, column 8.
  EXPECT_EQ(std::make_tuple(dot.alpha[8 * 36 + 8], dot.alpha[28 * 36 + 8], dot.at(-1, 30)),
            std::make_tuple(255, 0, 0));
  const QImage image = paint(Drawing{18, {Disc{{9, 9}, 3}, Arc{{9, 9}, 7, 31, -35, true, 2, 0.32}}},
                             8, Colour{200, 40, 10});
  EXPECT_EQ(image.pixelColor(72, 72), QColor(200, 40, 10));
  const QColor faint = image.pixelColor(128, 72);
  EXPECT_NEAR(faint.alpha(), 82, 4);
  EXPECT_NEAR(faint.red(), 200, 4);
}

TEST(PanelInk, TheTraysColoursThenTheDesktopsPreferenceThenThePalette) {
  const Colour light{239, 239, 239}, dark{53, 53, 53}, text{0, 0, 0}, lightText{255, 255, 255};
  const struct {
    std::vector<std::uint32_t> tray;
    std::optional<std::uint32_t> scheme;
    Colour window, windowText, ink;
  } cases[] = {
      {std::vector<std::uint32_t>(12, 0x8080), 1, light, text, {128, 128, 128}},  // tray first
      {{0x1ffff, 0, 0x00ff}, std::nullopt, light, text, {255, 0, 1}},  // 16 bits, more is full
      {{0, 0}, 1, light, text, white},         // too few to name a colour: prefers dark
      {{}, 2, dark, lightText, black},         // prefers light, whatever the palette
      {{}, 0, dark, lightText, white},         // no preference: the palette's text is lighter
      {{}, std::nullopt, light, text, black},  // no portal: the same, darker
  };
  for (const auto& c : cases) {
    EXPECT_EQ(inkFor({c.tray, c.scheme, c.window, c.windowText}), c.ink)
        << c.tray.size() << " tray colours, scheme " << c.scheme.value_or(99);
  }
}
