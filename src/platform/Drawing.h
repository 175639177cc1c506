#pragma once
// A small vector drawing, described as data so the application can say what to draw
// and the toolkit layer can draw it (and tests can render it to pixels).
// Coordinates have their origin at the lower left with y upwards; angles are in degrees,
// counter-clockwise from the positive x axis.
#include <cstdint>
#include <filesystem>
#include <variant>
#include <vector>

namespace Platform {

struct Point {
  double x = 0;
  double y = 0;
};

// A stroked arc with round caps.
struct Arc {
  Point centre;
  double radius = 0;
  double from = 0;  // degrees
  double to = 0;    // degrees
  bool clockwise = false;
  double width = 1;
  double alpha = 1;
};

// A filled circle.
struct Disc {
  Point centre;
  double radius = 0;
};

// A stroked line with round caps.
struct Line {
  Point from;
  Point to;
  double width = 1;
};

// Save or restore the compositing mode.
struct Save {};
struct Restore {};
// From here until the next Restore, what is drawn erases instead of painting.
struct Erase {};

using Step = std::variant<Arc, Disc, Line, Save, Restore, Erase>;

// An opaque colour, 8 bits a channel.
struct Colour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Colour&) const = default;
};

struct Drawing {
  double side = 18;  // a square of this many points
  std::vector<Step> steps;
};

// A drawing rendered to pixels: rows top to bottom, each pixel's alpha 0–255.
struct Rendered {
  int size = 0;   // pixels on a side
  int scale = 1;  // pixels per point
  std::vector<std::uint8_t> alpha;
  std::uint8_t at(double x, double y) const;  // at a point of the drawing's coordinates
};

// Renders black on transparent at `scale` pixels per point.
Rendered render(const Drawing& drawing, int scale);

// Writes the drawing, black on transparent, `pixels` on a side, as a PNG file in place of what
// was there. False when it could not be written.
bool writePng(const Drawing& drawing, int pixels, const std::filesystem::path& file);

}  // namespace Platform
