#include "screen_shot.h"

#include <cairo.h>

#include <algorithm>
#include <memory>

// Last: Xlib's macros (None, Bool, Status) clash with other headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace cycle_test {

namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
struct ImageDestroyer {
    void operator()(XImage* i) const { XDestroyImage(i); }
};

// Shift that brings a channel mask down to its lowest bit, and its width.
void MaskShape(unsigned long mask, int& shift, int& bits) {
    shift = 0;
    bits = 0;
    if (mask == 0) return;
    while (!(mask & 1ul)) {
        mask >>= 1;
        ++shift;
    }
    while (mask & 1ul) {
        mask >>= 1;
        ++bits;
    }
}

int Channel(unsigned long pixel, int shift, int bits) {
    if (bits == 0) return 0;
    unsigned long value = (pixel >> shift) & ((1ul << bits) - 1);
    return static_cast<int>(value * 255 / ((1ul << bits) - 1));
}

}  // namespace

bool CaptureScreen(const std::string& display, unsigned long window, Shot& shot, std::string& error) {
    std::unique_ptr<Display, DisplayCloser> dpy(XOpenDisplay(display.empty() ? nullptr : display.c_str()));
    if (!dpy) {
        error = "cannot open display " + display;
        return false;
    }
    Window root = DefaultRootWindow(dpy.get());
    XWindowAttributes rootAttributes{};
    XGetWindowAttributes(dpy.get(), root, &rootAttributes);
    int x = 0, y = 0, width = rootAttributes.width, height = rootAttributes.height;
    if (window != 0) {
        // An error (a window that is gone) must not end the program.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        XWindowAttributes attributes{};
        Window child = 0;
        if (!XGetWindowAttributes(dpy.get(), window, &attributes) ||
            !XTranslateCoordinates(dpy.get(), window, root, 0, 0, &x, &y, &child)) {
            error = "no window " + std::to_string(window);
            return false;
        }
        width = attributes.width;
        height = attributes.height;
    }
    int left = std::max(x, 0), top = std::max(y, 0);
    int right = std::min(x + width, rootAttributes.width), bottom = std::min(y + height, rootAttributes.height);
    if (right <= left || bottom <= top) {
        error = "the window is off the screen";
        return false;
    }
    std::unique_ptr<XImage, ImageDestroyer> image(XGetImage(dpy.get(), root, left, top,
                                                            static_cast<unsigned>(right - left),
                                                            static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap));
    if (!image) {
        error = "cannot read the screen";
        return false;
    }
    int rs, rb, gs, gb, bs, bb;
    MaskShape(image->red_mask, rs, rb);
    MaskShape(image->green_mask, gs, gb);
    MaskShape(image->blue_mask, bs, bb);
    shot.width = right - left;
    shot.height = bottom - top;
    shot.pixels.resize(static_cast<size_t>(shot.width) * shot.height);
    for (int row = 0; row < shot.height; ++row)
        for (int col = 0; col < shot.width; ++col) {
            unsigned long p = XGetPixel(image.get(), col, row);
            shot.pixels[static_cast<size_t>(row) * shot.width + col] =
                static_cast<uint32_t>(Channel(p, rs, rb)) << 16 | static_cast<uint32_t>(Channel(p, gs, gb)) << 8 |
                static_cast<uint32_t>(Channel(p, bs, bb));
        }
    return true;
}

bool SavePng(const Shot& shot, const std::string& path) {
    if (shot.width <= 0 || shot.height <= 0) return false;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, shot.width, shot.height);
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> owner(surface, cairo_surface_destroy);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return false;
    cairo_surface_flush(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    for (int row = 0; row < shot.height; ++row)
        std::copy_n(&shot.pixels[static_cast<size_t>(row) * shot.width], shot.width,
                    reinterpret_cast<uint32_t*>(data + static_cast<size_t>(row) * stride));
    cairo_surface_mark_dirty(surface);
    return cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
}

size_t CountPixels(const Shot& shot, const std::function<bool(int r, int g, int b)>& match) {
    size_t n = 0;
    for (uint32_t p : shot.pixels)
        if (match(static_cast<int>(p >> 16 & 0xFF), static_cast<int>(p >> 8 & 0xFF), static_cast<int>(p & 0xFF))) ++n;
    return n;
}

bool IsGreen(int r, int g, int b) { return g >= 160 && g - r >= 100 && g - b >= 100; }

}  // namespace cycle_test
