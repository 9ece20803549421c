// The desktop's scale for high-resolution screens: every window, its
// layout, text and images are drawn that many times larger.
#pragma once

#include <string_view>

namespace platform::detail {

// From the X resources (the text of the RESOURCE_MANAGER property):
// Xft.dpi over 96, in quarter steps; else from GDK_SCALE (a whole number);
// else 1. Never below 1 nor above 4.
double DesktopScale(std::string_view resources, const char* gdkScale);

}  // namespace platform::detail
