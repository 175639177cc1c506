#include <gtest/gtest.h>

#include <cmath>

#include "app/Manager.h"
#include "platform/Drawing.h"

namespace {

// A point on a circle around the knob's centre (9, 9), angle in degrees.
Platform::Point around(double radius, double degrees) {
  const double rad = degrees * M_PI / 180;
  return {9 + radius * std::cos(rad), 9 + radius * std::sin(rad)};
}

}  // namespace

TEST(Knob, DrawnAsTheGaugeTheKnobAndTheLevel) {
  const Platform::Drawing knob = Manager::menuBarIcon();
  EXPECT_EQ(knob.side, 18);
  const Platform::Rendered image = Platform::render(knob, 8);
  ASSERT_EQ(image.size, 144);
  auto alpha = [&](Platform::Point p) { return static_cast<int>(image.at(p.x, p.y)); };
  const double r = 7.2;

  // The lit part of the gauge runs over the top, from lower left round to the level.
  for (double degrees : {200.0, 150.0, 90.0, 60.0}) {
    EXPECT_GT(alpha(around(r, degrees)), 200) << "lit at " << degrees;
  }
  // The unlit rest, from the level down to the right, is faint.
  for (double degrees : {10.0, 0.0, -25.0}) {
    int a = alpha(around(r, degrees));
    EXPECT_GT(a, 55) << "unlit at " << degrees;
    EXPECT_LT(a, 110) << "unlit at " << degrees;
  }
  // Nothing at the bottom, between the two ends of the gauge.
  EXPECT_LT(alpha(around(r, 270)), 10);
  EXPECT_LT(alpha(around(r, 240)), 10);

  // The knob is solid, with its pointer cut out towards 30°.
  EXPECT_GT(alpha(around(2.5, 180)), 240);
  EXPECT_GT(alpha(around(2.5, 210)), 240);
  EXPECT_LT(alpha(around(0.6 * 4.32, 30)), 40) << "the pointer is a hole";
  EXPECT_LT(alpha(around(0.8 * 4.32, 30)), 40);
  EXPECT_GT(alpha(around(0.15 * 4.32, 210)), 200) << "the pointer starts off-centre";

  // The level dot sits on the gauge at 31°, with a clear ring round it.
  EXPECT_GT(alpha(around(r, 31)), 240);
  EXPECT_LT(alpha(around(r, 31 + 12.8)), 40) << "the ring cuts the lit arc";
  EXPECT_LT(alpha(around(r, 31 - 12.8)), 40) << "and the unlit one";
  EXPECT_GT(alpha(around(r, 31 + 25)), 200) << "the arc goes on beyond the ring";

  // Outside the gauge and between gauge and knob: transparent.
  EXPECT_LT(alpha({0.5, 17.5}), 10);
  EXPECT_LT(alpha(around(5.6, 120)), 10);
}
