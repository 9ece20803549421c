// Owning wrappers for the GDI objects the Win32 backend keeps, and the
// bitmaps it shows windows and icons from.
#pragma once

#include <windows.h>

#include <cairo.h>

#include <cstdint>
#include <memory>

namespace platform::win32 {

struct IconDeleter {
    void operator()(HICON icon) const {
        if (icon) ::DestroyIcon(icon);
    }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const {
        if (object) ::DeleteObject(object);
    }
};
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiObjectDeleter>;

// A window's device context for the length of a scope.
class WindowDc {
public:
    explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(::GetDC(hwnd)) {}
    ~WindowDc() {
        if (dc_) ::ReleaseDC(hwnd_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

private:
    HWND hwnd_;
    HDC dc_;
};

// A top-down 32-bit DIB section selected into a memory DC.
class Dib {
public:
    Dib() = default;
    ~Dib() { Reset(); }
    Dib(const Dib&) = delete;
    Dib& operator=(const Dib&) = delete;

    // (Re)makes the bitmap at width x height; its contents are undefined
    // after a change of size. False when GDI refuses.
    bool Ensure(int width, int height);
    HDC Dc() const { return dc_; }
    uint8_t* Row(int y) const { return bits_ + static_cast<size_t>(y) * width_ * 4; }

private:
    void Reset();

    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    uint8_t* bits_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

// An icon with the image's alpha; null when GDI refuses.
UniqueIcon IconFromSurface(cairo_surface_t* image);

}  // namespace platform::win32
