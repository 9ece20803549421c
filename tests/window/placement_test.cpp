// Where windows open (off-screen, on its 1280 x 1024 screen): centred, and
// one larger than the screen with its top left (its caption) on it.
#include "platform/window/automation.h"
#include "window_test_util.h"

namespace tavlin_window_test {
namespace {

TEST(Placement, CentredAndALargerWindowKeepsItsTopLeftOnTheScreen) {
    SetOffscreenMode(true);
    struct Case {
        int width, height;
        Rect expected;
    };
    const Case cases[] = {
        {442, 433, {419, 295, 861, 728}},
        {1280, 1024, {0, 0, 1280, 1024}},
        {1400, 1100, {0, 0, 1400, 1100}},  // a doubled window on a small screen
        {1400, 600, {0, 212, 1400, 812}},
    };
    for (const Case& c : cases) {
        CreateWindowParams p;
        p.className = u"tavlin_test";
        p.proc = DefWindowProcW;
        p.style = WS_POPUP;
        p.width = c.width;
        p.height = c.height;
        Hwnd w = CreateWindowW(p);
        ASSERT_NE(w, nullptr);
        Rect r;
        ASSERT_TRUE(GetWindowRect(w, &r));
        EXPECT_EQ(r, c.expected) << c.width << "x" << c.height << " at " << r.left << "," << r.top;
        ASSERT_TRUE(MoveWindow(w, 900, 900, c.width, c.height));
        ASSERT_TRUE(CenterWindow(w));
        ASSERT_TRUE(GetWindowRect(w, &r));
        EXPECT_EQ(r, c.expected) << "CenterWindow " << c.width << "x" << c.height;
        DestroyWindow(w);
    }
}

}  // namespace
}  // namespace tavlin_window_test
