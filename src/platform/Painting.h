#pragma once
// Paints a drawing with QPainter. For the toolkit layer only: it is the one place that
// turns the knob's description into pixels, for the status item and for `render`.
#include <QImage>

#include "platform/Drawing.h"

namespace Platform {

// In `ink` (black unless said) on transparent, `scale` pixels per point, premultiplied ARGB.
QImage paint(const Drawing& drawing, int scale, Colour ink = {});

}  // namespace Platform
