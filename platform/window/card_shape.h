// The card of a window with per-pixel alpha, for a desktop without a
// compositing manager: there the X server shows a 32-bit window's colour
// channels and ignores its alpha, so a soft shadow turns into a black frame.
// The window is cut to its card (the pixels at least half opaque) and the
// card is shown at full opacity. Pure functions over cairo image surfaces.
#pragma once

#include <cairo.h>

#include <vector>

#include "platform/window/types.h"

namespace platform::detail {

// The card of an ARGB32 image as rectangles in the order XShape calls
// YX-banded: rows of equal runs merged into one band, bands top down, runs
// left to right. Empty for an image with no card pixel.
std::vector<Rect> CardRuns(cairo_surface_t* image);

// Copies `area` of the premultiplied ARGB32 image `src` into the top-left
// of `dst` (at least area's size) as the card shows without a compositor:
// card pixels with their own colour at full opacity (no darkening by the
// shadow beneath an anti-aliased edge), everything else transparent black.
void FlattenCard(cairo_surface_t* src, cairo_surface_t* dst, const Rect& area);

// Alpha from which a pixel belongs to the card: a shadow stays well below
// it, the card's anti-aliased edge straddles it.
constexpr unsigned kCardAlpha = 128;

}  // namespace platform::detail
