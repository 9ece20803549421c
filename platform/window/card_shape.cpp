#include "card_shape.h"

#include <algorithm>
#include <cstdint>

namespace platform::detail {

namespace {

const uint32_t* Row(cairo_surface_t* image, int y) {
    const unsigned char* data = cairo_image_surface_get_data(image);
    return reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * cairo_image_surface_get_stride(image));
}

bool InCard(uint32_t pixel) { return (pixel >> 24) >= kCardAlpha; }

// [start, end) pairs of card pixels in one row.
void RowRuns(const uint32_t* row, int width, std::vector<int>& out) {
    out.clear();
    for (int x = 0; x < width;) {
        while (x < width && !InCard(row[x])) ++x;
        if (x == width) break;
        int start = x;
        while (x < width && InCard(row[x])) ++x;
        out.push_back(start);
        out.push_back(x);
    }
}

}  // namespace

std::vector<Rect> CardRuns(cairo_surface_t* image) {
    std::vector<Rect> rects;
    if (!image || cairo_image_surface_get_format(image) != CAIRO_FORMAT_ARGB32) return rects;
    cairo_surface_flush(image);
    const int width = cairo_image_surface_get_width(image);
    const int height = cairo_image_surface_get_height(image);
    std::vector<int> band, row;
    int bandTop = 0;
    auto close = [&](int bottom) {
        for (size_t i = 0; i < band.size(); i += 2) rects.push_back(Rect{band[i], bandTop, band[i + 1], bottom});
    };
    for (int y = 0; y < height; ++y) {
        RowRuns(Row(image, y), width, row);
        if (row == band) continue;
        close(y);
        band.swap(row);
        bandTop = y;
    }
    close(height);
    return rects;
}

void FlattenCard(cairo_surface_t* src, cairo_surface_t* dst, const Rect& area) {
    cairo_surface_flush(src);
    cairo_surface_flush(dst);
    unsigned char* out = cairo_image_surface_get_data(dst);
    const int outStride = cairo_image_surface_get_stride(dst);
    for (int y = 0; y < area.Height(); ++y) {
        const uint32_t* in = Row(src, area.top + y) + area.left;
        auto* to = reinterpret_cast<uint32_t*>(out + static_cast<size_t>(y) * outStride);
        for (int x = 0; x < area.Width(); ++x) {
            const uint32_t p = in[x];
            const uint32_t a = p >> 24;
            if (a < kCardAlpha) {
                to[x] = 0;
                continue;
            }
            auto channel = [&](int shift) {
                return std::min<uint32_t>(255, (((p >> shift) & 0xFF) * 255 + a / 2) / a) << shift;
            };
            to[x] = 0xFF000000u | channel(16) | channel(8) | channel(0);
        }
    }
    cairo_surface_mark_dirty(dst);
}

}  // namespace platform::detail
