// What an X server shows: a window's area (or the whole screen) read back
// from the root window, so windows on top of it show as a user would see
// them. Saved as PNG with cairo; pixels can be counted for checks that no
// window property exposes (a label drawn in a colour of its own).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cycle_test {

struct Shot {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, row by row

    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Reads the screen area of `window` (an X window id; 0: the whole screen)
// from the server `display` (":N"; empty: $DISPLAY). False with `error`
// when the server or the window cannot be read; the area is clipped to the
// screen.
bool CaptureScreen(const std::string& display, unsigned long window, Shot& shot, std::string& error);

bool SavePng(const Shot& shot, const std::string& path);

// Pixels for which `match(r, g, b)` holds.
size_t CountPixels(const Shot& shot, const std::function<bool(int r, int g, int b)>& match);

// Pure green text, as a label drawn in #00FF00 shows it over a light ground:
// green well above the other two channels.
bool IsGreen(int r, int g, int b);

}  // namespace cycle_test
