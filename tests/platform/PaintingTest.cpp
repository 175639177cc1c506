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
  const Probe on{0, 0, 255, 255}, off{0, 0, 0, 0};
  auto at = [](double x, double y, Probe p) { return Probe{x, y, p.low, p.high}; };
  const struct {
    const char* what;
    std::vector<Step> steps;
    std::vector<Probe> probes;
  } cases[] = {
      // From lower left over the top to upper right, clockwise: the knob's lit gauge.
      {"clockwise",
       {Arc{{c, c}, r, 215, 31, true, w, 1}},
       {at(c, c + r, on), at(c, c - r, off), at(c - r, c, on), at(c + r, c, off)}},
      {"the same ends the other way round go under the bottom",
       {Arc{{c, c}, r, 215, 31, false, w, 1}},
       {at(c, c + r, off), at(c, c - r, on)}},
      {"crossing 0°", {Arc{{c, c}, r, 31, -35, true, w, 1}}, {at(c + r, c, on), at(c - r, c, off)}},
      {"alpha makes a partly transparent stroke",
       {Arc{{c, c}, r, 31, -35, true, w, 0.32}},
       {{c + r, c, 78, 86}, at(c, c, off)}},
      {"erasing cuts through until restored",
       {Disc{{c, c}, 6}, Save{}, Erase{}, Disc{{c, c}, 3}, Line{{c - 6, c}, {c - 4, c}, 1},
        Restore{}, Disc{{c, c}, 1}},
       {at(c + 2, c, off), at(c + 4.5, c, on), at(c - 5, c, off), at(c, c, on),
        at(c + 8.5, c, off)}},
      {"lines have round caps",
       {Line{{5, c}, {13, c}, 2}},
       {at(9, c, on), {13.6, c, 129, 255}, {13.6, c + 0.9, 0, 63}}},
  };
  for (const auto& k : cases) {
    const Rendered image = render(Drawing{18, k.steps}, 8);
    for (const Probe& p : k.probes) {
      const int alpha = image.at(p.x, p.y);
      EXPECT_TRUE(alpha >= p.low && alpha <= p.high)
          << k.what << " at (" << p.x << ", " << p.y << "): " << alpha;
    }
  }
}

TEST(Painting, YRunsUpAndRowsRunDown) {
  Rendered dot = render(Drawing{18, {Disc{{4, 14}, 2}}}, 2);
  ASSERT_EQ(dot.size, 36);
  ASSERT_EQ(dot.alpha.size(), 36u * 36u);
  // (4, 14) in the drawing is 4 points from the top: row 8, column 8.
  EXPECT_EQ(dot.alpha[8 * 36 + 8], 255);
  EXPECT_EQ(dot.alpha[28 * 36 + 8], 0);
  EXPECT_EQ(dot.at(4, 14), 255);
  EXPECT_EQ(dot.at(-1, 30), 0);  // outside the image
}

TEST(Painting, InkColoursEveryStepAndKeepsItsAlpha) {
  constexpr double c = 9, r = 7.2, w = 1.35;
  const QImage image = paint(Drawing{18, {Disc{{c, c}, 3}, Arc{{c, c}, r, 31, -35, true, w, 0.32}}},
                             8, Colour{200, 40, 10});
  const QColor disc = image.pixelColor(static_cast<int>(c * 8), static_cast<int>(c * 8));
  EXPECT_EQ(disc, QColor(200, 40, 10));
  const QColor faint = image.pixelColor(static_cast<int>((c + r) * 8), static_cast<int>(c * 8));
  EXPECT_NEAR(faint.alpha(), 82, 4);
  EXPECT_NEAR(faint.red(), 200, 4);
}

TEST(PanelInk, TheTraysColoursThenTheDesktopsPreferenceThenThePalette) {
  const Colour light{239, 239, 239}, dark{53, 53, 53}, text{0, 0, 0}, lightText{255, 255, 255};
  const std::vector<std::uint32_t> grey(12, 0x8080), overRange{0x1ffff, 0, 0x00ff};
  const struct {
    std::vector<std::uint32_t> tray;
    std::optional<std::uint32_t> scheme;
    Colour window, windowText, ink;
  } cases[] = {
      {grey, 1, light, text, {128, 128, 128}},  // the tray's foreground, whatever else
      {{0xeeee, 0xeeee, 0xeeee}, 2, light, text, {238, 238, 238}},  // its first three suffice
      {overRange, std::nullopt, light, text, {255, 0, 1}},          // 16 bits each, more is full
      {{0xffff, 0xffff}, 2, light, text, black},                    // too few to name a colour
      {{}, 1, light, text, white},                                  // prefers dark
      {{}, 2, dark, lightText, black},         // prefers light, whatever the palette
      {{}, 0, dark, lightText, white},         // no preference: the palette, dark
      {{}, 7, light, text, black},             // an unknown one, the same
      {{}, std::nullopt, light, text, black},  // no portal: the palette, light
      {{}, std::nullopt, dark, lightText, white},
  };
  for (const auto& c : cases) {
    const Colour ink = inkFor({c.tray, c.scheme, c.window, c.windowText});
    EXPECT_EQ(ink, c.ink) << c.tray.size() << " tray colours, scheme " << c.scheme.value_or(99)
                          << ", window " << int(c.window.red);
  }
}
