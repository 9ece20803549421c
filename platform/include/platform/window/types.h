// Basic window-system types shared by the core, the backends and callers.
#pragma once

#include <cstdint>

namespace platform {

struct WindowRec;
// A window. Valid from CreateWindowW until the window is destroyed; every
// call that takes one checks it against the live windows first, so a stale
// value fails cleanly instead of touching freed memory.
using Hwnd = WindowRec*;

// Result of a window procedure and of SendMessageW.
using LRESULT = intptr_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;

// The window procedure. Called on the window's own thread only, for every
// message dispatched or sent to the window; what it does not handle it passes
// to DefWindowProcW. Per-window state lives in the window's user data
// (CreateWindowParams::userData, GetWindowUserData), which is already set
// when WM_CREATE arrives.
using WndProc = LRESULT (*)(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);

struct Point {
    int x = 0;
    int y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// Edges in pixels; right and bottom are exclusive, as in a Windows RECT.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Empty() const { return right <= left || bottom <= top; }
    bool Contains(Point p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// One queued message, as GetMessageW and PeekMessageW return it.
struct Msg {
    Hwnd hwnd = nullptr;
    unsigned message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    uint32_t time = 0;   // milliseconds of the monotonic clock, low 32 bits
    Point pt;            // pointer position in screen coordinates, when known
    char32_t character = 0;  // for WM_KEYDOWN: the character the key types
                             // (0 for none); TranslateMessage turns it into WM_CHAR
};

// Coordinates packed into an LPARAM the Windows way (low word x, high word y,
// both signed 16-bit).
constexpr LPARAM MakeLParam(int lo, int hi) {
    return static_cast<LPARAM>(static_cast<uint32_t>(static_cast<uint16_t>(lo)) |
                               (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16));
}
constexpr int GetXLParam(LPARAM lp) { return static_cast<int16_t>(static_cast<uint32_t>(lp) & 0xFFFF); }
constexpr int GetYLParam(LPARAM lp) { return static_cast<int16_t>((static_cast<uint32_t>(lp) >> 16) & 0xFFFF); }

}  // namespace platform
