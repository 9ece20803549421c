// Drawing. Every window has a back buffer (a cairo ARGB32 image surface of
// its size); WM_PAINT is the time to draw into it, and EndPaint shows it.
// Window's thread only.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <string_view>

#include "platform/window/types.h"

namespace platform {

struct PaintStruct {
    cairo_t* cr = nullptr;  // draws on the back buffer, clipped to rcPaint
    Rect rcPaint;           // the part to redraw, client coordinates
};

// Marks part of the window (nullptr: all of it) for redrawing; WM_PAINT
// follows when the queue has nothing else. Any thread.
bool InvalidateRect(Hwnd hwnd, const Rect* rect = nullptr);
// Sends WM_PAINT now when part of the window is invalid.
bool UpdateWindow(Hwnd hwnd);

// In WM_PAINT: validates the invalid part and gives a cairo context on the
// back buffer. nullptr for a window that is not this thread's.
cairo_t* BeginPaint(Hwnd hwnd, PaintStruct* ps);
// Releases the context and shows the redrawn part.
void EndPaint(Hwnd hwnd, PaintStruct* ps);

// The back buffer itself (owned by the window; replaced when the size
// changes). For reading what the window shows. Window's thread.
cairo_surface_t* GetWindowSurface(Hwnd hwnd);

// Sets up what text layouts need from the system's fonts; at present there
// is nothing to set up on either system. Called by window creation; call it
// before laying out text without a window. Any thread.
void EnsureFontAliases();

// A pango layout for cairo context cr with the family and pixel size given.
// On Linux the Windows UI face ("微软雅黑", "Microsoft YaHei") becomes
// WenQuanYi Micro Hei when the interface is Chinese and fontconfig's default
// face otherwise (Chinese characters then fall back to the CJK font).
// Caller unrefs it.
PangoLayout* CreateTextLayout(cairo_t* cr, std::u16string_view text, const char* family,
                              double pixelSize, bool bold = false);

}  // namespace platform
