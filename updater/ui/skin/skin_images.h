// The skin's images, drawn with cairo at their pixel sizes.
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

// Every image the layouts use.
std::vector<Image> DrawSkinImages();
// The program icon.
cairo_surface_t* DrawProgramIcon(int size);

}  // namespace skin
