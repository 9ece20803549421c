#include "win32_gdi.h"

#include <cstring>
#include <vector>

namespace platform::win32 {

namespace {

BITMAPINFO TopDown32(int width, int height) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    return bi;
}

}  // namespace

bool Dib::Ensure(int width, int height) {
    if (dc_ && width == width_ && height == height_) return true;
    Reset();
    if (width <= 0 || height <= 0) return false;
    BITMAPINFO bi = TopDown32(width, height);
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return false;
    HDC dc = ::CreateCompatibleDC(nullptr);
    if (!dc) {
        ::DeleteObject(bitmap);
        return false;
    }
    dc_ = dc;
    bitmap_ = bitmap;
    previous_ = ::SelectObject(dc, bitmap);
    bits_ = static_cast<uint8_t*>(bits);
    width_ = width;
    height_ = height;
    return true;
}

void Dib::Reset() {
    if (dc_) {
        ::SelectObject(dc_, previous_);
        ::DeleteDC(dc_);
    }
    if (bitmap_) ::DeleteObject(bitmap_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    previous_ = nullptr;
    bits_ = nullptr;
    width_ = height_ = 0;
}

UniqueIcon IconFromSurface(cairo_surface_t* image) {
    if (cairo_surface_get_type(image) != CAIRO_SURFACE_TYPE_IMAGE ||
        cairo_image_surface_get_format(image) != CAIRO_FORMAT_ARGB32)
        return nullptr;
    cairo_surface_flush(image);
    const int width = cairo_image_surface_get_width(image);
    const int height = cairo_image_surface_get_height(image);
    const int stride = cairo_image_surface_get_stride(image);
    const unsigned char* src = cairo_image_surface_get_data(image);
    if (!src || width <= 0 || height <= 0) return nullptr;

    BITMAPINFO bi = TopDown32(width, height);
    void* bits = nullptr;
    UniqueBitmap color(::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!color) return nullptr;
    // Icons take straight alpha; cairo's is premultiplied.
    auto* dst = static_cast<uint8_t*>(bits);
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = src + static_cast<size_t>(y) * stride;
        uint8_t* d = dst + static_cast<size_t>(y) * width * 4;
        for (int x = 0; x < width * 4; x += 4) {
            const unsigned a = s[x + 3];
            for (int c = 0; c < 3; ++c) d[x + c] = a ? static_cast<uint8_t>((s[x + c] * 255u + a / 2) / a) : 0;
            d[x + 3] = static_cast<uint8_t>(a);
        }
    }
    ::GdiFlush();
    // The alpha channel decides; the mask is all "draw".
    std::vector<uint8_t> zeros(static_cast<size_t>((width + 15) / 16 * 2) * height, 0);
    UniqueBitmap mask(::CreateBitmap(width, height, 1, 1, zeros.data()));
    if (!mask) return nullptr;
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = color.get();
    info.hbmMask = mask.get();
    return UniqueIcon(::CreateIconIndirect(&info));
}

}  // namespace platform::win32
