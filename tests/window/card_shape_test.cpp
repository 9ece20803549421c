// The card a window without a compositor is cut to, and the monitor a
// window opens on: pure functions, checked on small pictures and tables.
#include <gtest/gtest.h>

#include <cairo.h>

#include <cmath>
#include <iterator>
#include <memory>

#include "card_shape.h"
#include "monitors.h"

namespace tavlin_window_test {
namespace {

constexpr double kPi = 3.14159265358979323846;

using platform::Point;
using platform::Rect;
using platform::detail::CardRuns;
using platform::detail::FlattenCard;
using platform::detail::PickMonitor;

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

Surface Image(int w, int h) { return Surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h)); }

uint32_t& Pixel(cairo_surface_t* s, int x, int y) {
    unsigned char* data = cairo_image_surface_get_data(s);
    return *reinterpret_cast<uint32_t*>(data + y * cairo_image_surface_get_stride(s) + x * 4);
}

// A card as the skin draws one: a soft shadow of stacked translucent black
// rings, a white rounded card on top.
Surface ShadowedCard(int w, int h, int margin, int radius) {
    Surface s = Image(w, h);
    cairo_t* cr = cairo_create(s.get());
    auto rounded = [cr](double x, double y, double rw, double rh, double r) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x + rw - r, y + r, r, -kPi / 2, 0);
        cairo_arc(cr, x + rw - r, y + rh - r, r, 0, kPi / 2);
        cairo_arc(cr, x + r, y + rh - r, r, kPi / 2, kPi);
        cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
        cairo_close_path(cr);
    };
    for (int i = margin; i > 0; --i) {
        rounded(margin - i, margin - i, w - 2 * (margin - i), h - 2 * (margin - i), radius + i);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.02);
        cairo_fill(cr);
    }
    rounded(margin, margin, w - 2 * margin, h - 2 * margin, radius);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_flush(s.get());
    return s;
}

bool InRuns(const std::vector<Rect>& runs, int x, int y) {
    for (const Rect& r : runs)
        if (r.Contains(Point{x, y})) return true;
    return false;
}

TEST(CardShapeTest, RunsCoverTheCardAndNotItsShadowOrCorners) {
    const int w = 120, h = 90, margin = 10, radius = 12;
    Surface card = ShadowedCard(w, h, margin, radius);
    std::vector<Rect> runs = CardRuns(card.get());
    ASSERT_FALSE(runs.empty());

    // Every pixel: in the runs exactly when it is at least half opaque.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(InRuns(runs, x, y), (Pixel(card.get(), x, y) >> 24) >= platform::detail::kCardAlpha)
                << "at " << x << "," << y;
    // The shadow, the margin's corners and the outside of a rounded corner
    // are cut; the card's straight edges are kept.
    EXPECT_FALSE(InRuns(runs, margin / 2, h / 2));
    EXPECT_FALSE(InRuns(runs, 0, 0));
    EXPECT_FALSE(InRuns(runs, margin + 1, margin + 1));
    EXPECT_TRUE(InRuns(runs, margin, h / 2));
    EXPECT_TRUE(InRuns(runs, w - margin - 1, h / 2));

    // YX-banded: bands top down without overlap, runs in a band share their
    // rows and go left to right; equal rows are merged, so the straight part
    // of the card is one rectangle.
    for (size_t i = 1; i < runs.size(); ++i) {
        const Rect &a = runs[i - 1], &b = runs[i];
        if (a.top == b.top) {
            EXPECT_EQ(a.bottom, b.bottom);
            EXPECT_LE(a.right, b.left);
        } else {
            EXPECT_LE(a.bottom, b.top);
        }
    }
    bool straightBand = false;
    for (const Rect& r : runs) straightBand = straightBand || (r.top <= margin + radius && r.bottom >= h - margin - radius);
    EXPECT_TRUE(straightBand);
    EXPECT_LT(runs.size(), static_cast<size_t>(2 * radius + 4));
}

TEST(CardShapeTest, RunsOfEmptyAndFullPictures) {
    Surface empty = Image(30, 20);
    EXPECT_TRUE(CardRuns(empty.get()).empty());
    Surface full = Image(30, 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) Pixel(full.get(), x, y) = 0xFF102030;
    cairo_surface_mark_dirty(full.get());
    EXPECT_EQ(CardRuns(full.get()), (std::vector<Rect>{{0, 0, 30, 20}}));
    // Two islands in one row band: two runs, left first.
    Surface two = Image(10, 4);
    for (int y = 1; y < 3; ++y) {
        Pixel(two.get(), 1, y) = Pixel(two.get(), 2, y) = 0xFFFFFFFF;
        Pixel(two.get(), 7, y) = 0x80808080;
    }
    cairo_surface_mark_dirty(two.get());
    EXPECT_EQ(CardRuns(two.get()), (std::vector<Rect>{{1, 1, 3, 3}, {7, 1, 8, 3}}));
}

TEST(CardShapeTest, FlattenShowsCardPixelsInTheirOwnColourAtFullOpacity) {
    struct Case {
        uint32_t premultiplied;
        uint32_t shown;
    };
    const Case cases[] = {
        {0xFFFFFFFF, 0xFFFFFFFF},  // opaque white stays
        {0xFF1694FF, 0xFF1694FF},  // opaque colour stays
        {0x80808080, 0xFFFFFFFF},  // half-covered white edge: white, not grey
        {0x80400000, 0xFF800000},  // half-covered red: its own red
        {0x7F000000, 0x00000000},  // shadow below the card's alpha: nothing
        {0x30000000, 0x00000000},
        {0x00000000, 0x00000000},
    };
    Surface src = Image(static_cast<int>(std::size(cases)) + 2, 3);
    for (size_t i = 0; i < std::size(cases); ++i) Pixel(src.get(), static_cast<int>(i) + 1, 1) = cases[i].premultiplied;
    cairo_surface_mark_dirty(src.get());
    // Only the area is copied, to the destination's top left.
    Rect area{1, 1, 1 + static_cast<int>(std::size(cases)), 2};
    Surface dst = Image(area.Width(), 1);
    FlattenCard(src.get(), dst.get(), area);
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(Pixel(dst.get(), static_cast<int>(i), 0), cases[i].shown) << "case " << i;
}

TEST(MonitorTest, TheMonitorHoldingThePointerElseThePrimaryElseTheFirst) {
    const Rect screen{0, 0, 3200, 1200};
    const std::vector<Rect> two{{0, 0, 1280, 1024}, {1280, 0, 3200, 1200}};
    struct Case {
        const char* what;
        std::vector<Rect> monitors;
        int primary;
        Point pointer;
        Rect expected;
    };
    const Case cases[] = {
        {"pointer on the first", two, 1, {100, 100}, two[0]},
        {"pointer on the second", two, 0, {2000, 1100}, two[1]},
        {"first pixel of the second", two, 0, {1280, 0}, two[1]},
        {"below the first, beside the second: the primary", two, 1, {100, 1100}, two[1]},
        {"outside every monitor, no primary: the first", two, -1, {100, 1100}, two[0]},
        {"a primary index out of range: the first", two, 7, {-5, -5}, two[0]},
        {"no monitors: the screen", {}, -1, {10, 10}, screen},
    };
    for (const Case& c : cases) EXPECT_EQ(PickMonitor(c.monitors, c.primary, c.pointer, screen), c.expected) << c.what;
}

}  // namespace
}  // namespace tavlin_window_test
