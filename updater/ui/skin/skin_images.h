// The skin's images, drawn with cairo at their pixel sizes, and at twice
// those for high-resolution screens.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

namespace skin {

struct Image {
    std::string name;          // file name inside the skin archive
    cairo_surface_t* surface;  // owned by the caller
    bool captionFits = true;   // false: its caption is wider than the button
};

// Every image the layouts use, at `scale` (1 or 2) device pixels per
// pixel of the layouts. At 2 the list leaves out the images already drawn
// at twice the size their layout shows them.
std::vector<Image> DrawSkinImages(int scale);
// The program icon.
cairo_surface_t* DrawProgramIcon(int size);

}  // namespace skin
