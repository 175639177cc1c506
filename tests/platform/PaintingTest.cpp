// Rendering drawings to pixels: directions, alpha, erasing, the y-up coordinates and the ink,
// and which ink the panel asks for.
#include <gtest/gtest.h>

#include "platform/Drawing.h"
#include "platform/Painting.h"
#include "platform/PanelInk.h"

using namespace Platform;

namespace {

constexpr double side = 18, c = 9, r = 7.2, w = 1.35;

Rendered draw(std::vector<Step> steps, int scale = 8) {
  return render(Drawing{side, std::move(steps)}, scale);
}

}  // namespace

TEST(Painting, ArcsRunInTheDirectionAsked) {
  // From lower left over the top to upper right, clockwise: the knob's lit gauge.
  Rendered clockwise = draw({Arc{{c, c}, r, 215, 31, true, w, 1}});
  EXPECT_EQ(clockwise.at(c, c + r), 255);  // 90°
  EXPECT_EQ(clockwise.at(c, c - r), 0);    // 270°
  EXPECT_EQ(clockwise.at(c - r, c), 255);  // 180°
  EXPECT_EQ(clockwise.at(c + r, c), 0);    // 0°, past the end at 31°

  // The same ends the other way round go under the bottom.
  Rendered counter = draw({Arc{{c, c}, r, 215, 31, false, w, 1}});
  EXPECT_EQ(counter.at(c, c + r), 0);
  EXPECT_EQ(counter.at(c, c - r), 255);

  // Crossing 0°: from 31° down to −35° clockwise.
  Rendered short_ = draw({Arc{{c, c}, r, 31, -35, true, w, 1}});
  EXPECT_EQ(short_.at(c + r, c), 255);
  EXPECT_EQ(short_.at(c - r, c), 0);
}

TEST(Painting, AlphaMakesAPartlyTransparentStroke) {
  Rendered faint = draw({Arc{{c, c}, r, 31, -35, true, w, 0.32}});
  const int middle = faint.at(c + r, c);
  EXPECT_NEAR(middle, 82, 4);
  EXPECT_EQ(faint.at(c, c), 0);
}

TEST(Painting, EraseCutsThroughUntilRestore) {
  Rendered pierced = draw({
      Disc{{c, c}, 6},
      Save{},
      Erase{},
      Disc{{c, c}, 3},
      Line{{c - 6, c}, {c - 4, c}, 1},
      Restore{},
      Disc{{c, c}, 1},
  });
  EXPECT_EQ(pierced.at(c + 2, c), 0);      // the hole
  EXPECT_EQ(pierced.at(c + 4.5, c), 255);  // the ring left of the disc
  EXPECT_EQ(pierced.at(c - 5, c), 0);      // the erasing line
  EXPECT_EQ(pierced.at(c, c), 255);        // painted again after Restore
  EXPECT_EQ(pierced.at(c + 8.5, c), 0);    // outside everything
}

TEST(Painting, YRunsUpAndRowsRunDown) {
  const int scale = 2;
  Rendered dot = draw({Disc{{4, 14}, 2}}, scale);
  ASSERT_EQ(dot.size, 36);
  ASSERT_EQ(dot.alpha.size(), 36u * 36u);
  // (4, 14) in the drawing is 4 points from the top: row 8, column 8.
  EXPECT_EQ(dot.alpha[8 * 36 + 8], 255);
  EXPECT_EQ(dot.alpha[28 * 36 + 8], 0);
  EXPECT_EQ(dot.at(4, 14), 255);
  EXPECT_EQ(dot.at(4, 4), 0);
  EXPECT_EQ(dot.at(-1, 30), 0);  // outside the image
}

TEST(Painting, LinesHaveRoundCaps) {
  Rendered line = draw({Line{{5, c}, {13, c}, 2}});
  EXPECT_EQ(line.at(9, c), 255);
  EXPECT_GT(line.at(13.6, c), 128);       // inside the cap beyond the end
  EXPECT_LT(line.at(13.6, c + 0.9), 64);  // a square cap would paint this corner
}

TEST(Painting, InkColoursEveryStepAndKeepsItsAlpha) {
  const QImage image =
      paint(Drawing{side, {Disc{{c, c}, 3}, Arc{{c, c}, r, 31, -35, true, w, 0.32}}}, 8,
            Colour{200, 40, 10});
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
