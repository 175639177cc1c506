#include "platform/Painting.h"

#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace Platform {
namespace {

// Draws the steps of a drawing with one painter, keeping track of saved states so that a
// Restore without a Save only ends erasing instead of unbalancing the painter.
class Painter {
 public:
  Painter(QImage& image, double side, int scale, Colour ink)
      : painter_(&image), side_(side), scale_(scale), ink_(ink.red, ink.green, ink.blue) {
    painter_.setRenderHint(QPainter::Antialiasing, true);
  }

  void operator()(const Arc& arc) {
    // Polyline in 1° steps, so the direction is exactly the one asked for whatever the
    // painter's own arc conventions are.
    const double sweep = arc.clockwise ? std::fmod(std::fmod(arc.from - arc.to, 360) + 360, 360)
                                       : std::fmod(std::fmod(arc.to - arc.from, 360) + 360, 360);
    const int steps = std::max(1, static_cast<int>(std::ceil(sweep)));
    QPainterPath path;
    for (int i = 0; i <= steps; ++i) {
      const double turned = sweep * i / steps;
      const double angle =
          (arc.clockwise ? arc.from - turned : arc.from + turned) * std::numbers::pi / 180;
      const QPointF at = pixel({arc.centre.x + arc.radius * std::cos(angle),
                                arc.centre.y + arc.radius * std::sin(angle)});
      if (i == 0) {
        path.moveTo(at);
      } else {
        path.lineTo(at);
      }
    }
    painter_.strokePath(path, pen(arc.width, arc.alpha));
  }

  void operator()(const Disc& disc) {
    const double radius = disc.radius * scale_;
    painter_.setPen(Qt::NoPen);
    painter_.setBrush(ink_);
    painter_.drawEllipse(pixel(disc.centre), radius, radius);
  }

  void operator()(const Line& line) {
    painter_.setPen(pen(line.width, 1));
    painter_.drawLine(pixel(line.from), pixel(line.to));
  }

  void operator()(const Save&) {
    painter_.save();
    ++saved_;
  }

  void operator()(const Restore&) {
    if (saved_ > 0) {
      painter_.restore();
      --saved_;
    } else {
      painter_.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
  }

  void operator()(const Erase&) {
    painter_.setCompositionMode(QPainter::CompositionMode_DestinationOut);
  }

 private:
  QPointF pixel(Point p) const { return {p.x * scale_, (side_ - p.y) * scale_}; }

  QPen pen(double width, double alpha) const {
    QColor colour = ink_;
    colour.setAlpha(static_cast<int>(std::lround(std::clamp(alpha, 0.0, 1.0) * 255)));
    QPen pen(colour);
    pen.setWidthF(width * scale_);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
  }

  QPainter painter_;
  double side_;
  int scale_;
  QColor ink_;
  int saved_ = 0;
};

}  // namespace

QImage paint(const Drawing& drawing, int scale, Colour ink) {
  const int size = static_cast<int>(std::lround(drawing.side * scale));
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    Painter painter(image, drawing.side, scale, ink);
    for (const Step& step : drawing.steps) std::visit(painter, step);
  }
  return image;
}

Rendered render(const Drawing& drawing, int scale) {
  const QImage image = paint(drawing, scale);
  Rendered rendered;
  rendered.size = image.width();
  rendered.scale = scale;
  rendered.alpha.reserve(static_cast<std::size_t>(image.width()) * image.height());
  for (int y = 0; y < image.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      rendered.alpha.push_back(static_cast<std::uint8_t>(qAlpha(row[x])));
    }
  }
  return rendered;
}

std::uint8_t Rendered::at(double x, double y) const {
  const double side = static_cast<double>(size) / scale;
  const int column = static_cast<int>(std::floor(x * scale));
  const int row = static_cast<int>(std::floor((side - y) * scale));
  if (column < 0 || row < 0 || column >= size || row >= size) return 0;
  return alpha[static_cast<std::size_t>(row) * size + column];
}

bool writePng(const Drawing& drawing, int pixels, const std::filesystem::path& file) {
  // Painted at the first whole scale that is at least as large, then smoothed down.
  const int scale = static_cast<int>(std::ceil(pixels / drawing.side));
  const QImage image = paint(drawing, std::max(scale, 1))
                           .scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  std::filesystem::path written = file;
  written += ".new";
  std::error_code error;
  if (!image.save(QString::fromStdString(written.string()), "PNG")) return false;
  std::filesystem::rename(written, file, error);
  if (!error) return true;
  std::filesystem::remove(written, error);
  return false;
}

}  // namespace Platform
