// The desktop's scale, from the X resources or GDK_SCALE.
#include <gtest/gtest.h>

#include "desktop_scale.h"

namespace tavlin_window_test {
namespace {

using platform::detail::DesktopScale;

TEST(DesktopScaleTest, XftDpiFirstThenGdkScaleThenOne) {
    struct Case {
        const char* resources;
        const char* gdkScale;
        double expected;
    };
    const Case cases[] = {
        {"Xft.dpi:\t192\n", nullptr, 2},
        {"Xft.antialias:\t1\nXft.dpi:\t144\nXft.hinting:\t1\n", nullptr, 1.5},
        {"Xft.dpi: 96", "2", 1},           // the resource wins over GDK_SCALE
        {"Xft.dpi:\t120\n", nullptr, 1.25},
        {"Xft.dpi:\t110\n", nullptr, 1.25},  // quarter steps
        {"Xft.dpi:\t72\n", nullptr, 1},      // never below 1
        {"Xft.dpi:\t960\n", nullptr, 4},     // nor above 4
        {"Xft.dpi:\tlarge\n", "2", 2},       // unreadable: GDK_SCALE
        {"*.dpi:\t192\nXft.dpix: 192\n", nullptr, 1},  // other names
        {"", "2", 2},
        {"", "3x", 1},
        {"", "0", 1},
        {"", "", 1},
        {"", nullptr, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DesktopScale(c.resources, c.gdkScale), c.expected)
            << '"' << c.resources << "\" GDK_SCALE=" << (c.gdkScale ? c.gdkScale : "(unset)");
}

}  // namespace
}  // namespace tavlin_window_test
