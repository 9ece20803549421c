// The windows on a high-resolution desktop (Xft.dpi: 192 in the X
// resources): twice as large, centred, the progress window's card cut at
// its doubled outline, and clicks on a button at its doubled place pressing
// it.
#include "wm_fixture.h"

#include <X11/Xatom.h>

namespace tavlin_wm_test {
namespace {

// Room for the doubled progress window.
constexpr int kScreenWidth = 1920, kScreenHeight = 1080;

class HighDpiTest : public DesktopTest {
protected:
    HighDpiTest() { screenSize_ = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight); }

    void SetUp() override {
        DesktopTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // What xrdb -merge leaves on the root; programs read it when they
        // connect.
        const char resources[] = "Xft.dpi:\t192\nXft.antialias:\t1\n";
        XChangeProperty(dpy_, DefaultRootWindow(dpy_), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(resources), sizeof resources - 1);
        XSync(dpy_, False);
    }

    ChildProcess StartPrompt() {
        tavlin_test::SpawnOptions o;
        o.argv = {TAVLIN_PROMPT, "网络已断开，请检查网络环境后重试~", "1"};
        o.env = env_;
        ChildProcess prompt;
        EXPECT_TRUE(prompt.Start(o)) << prompt.error();
        return prompt;
    }

    void ExpectCentred(const std::string& id, int width, int height) {
        Geometry g = WindowGeometry(id);
        EXPECT_EQ(g.width, width);
        EXPECT_EQ(g.height, height);
        EXPECT_NEAR(g.x, (kScreenWidth - width) / 2, 2);
        EXPECT_NEAR(g.y, (kScreenHeight - height) / 2, 2);
    }
};

TEST_F(HighDpiTest, PromptTwiceAsLargeAndItsButtonsPressedAtTheirDoubledPlaces) {
    SetLanguage("zh_CN.UTF-8");
    struct Case {
        const char* button;
        int x, y;  // the button's centre in the 310 x 100 layout
        int result;
    };
    const Case cases[] = {{"confirm", 260, 81, 1}, {"cancel", 180, 81, 2}, {"close", 297, 15, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        ChildProcess prompt = StartPrompt();
        const std::string id = FindByClass("zeb_updater_tips_wnd_class_name", 15, prompt.pid());
        ASSERT_FALSE(id.empty()) << prompt.Stderr();
        ExpectCentred(id, 620, 200);
        // The blue title bar fills the doubled band, 60 pixels high.
        cycle_test::Shot shot = Capture(id);
        ASSERT_EQ(shot.width, 620);
        EXPECT_EQ(shot.At(300, 4), 0x1694FFu);
        EXPECT_EQ(shot.At(300, 56), 0x1694FFu);
        EXPECT_NE(shot.At(300, 64), 0x1694FFu);
        KeepShot(shot, c.button);
        Xdotool({"mousemove", "--sync", "--window", id, std::to_string(2 * c.x), std::to_string(2 * c.y)});
        Xdotool({"click", "1"});
        ASSERT_TRUE(prompt.Wait(10000)) << "the click did not answer the prompt";
        EXPECT_EQ(prompt.exitCode(), c.result);
    }
}

TEST_F(HighDpiTest, ProgressWindowTwiceAsLargeCutToItsDoubledCard) {
    SetLanguage("zh_CN.UTF-8");
    ChildProcess updater = StartSilentUpdater();
    const std::string id = FindByClass("zeb_updater_wnd_class_name");
    ASSERT_FALSE(id.empty()) << updater.Stderr();
    ExpectCentred(id, 884, 866);
    const uint32_t desktop = 0x3C78B4;
    // Outside the card (its doubled corners and margins) the desktop shows;
    // on it, just inside the edges, the white card.
    const Geometry outside[] = {{2, 2}, {881, 2}, {16, 432}, {442, 16}, {44, 44}, {838, 822}};
    const Geometry card[] = {{46, 432}, {836, 600}, {300, 46}, {442, 820}};
    cycle_test::Shot shot;
    auto settled = [&] {
        shot = Capture(id);
        if (shot.width != 884 || shot.height != 866) return false;
        for (const Geometry& p : outside)
            if (shot.At(p.x, p.y) != desktop) return false;
        for (const Geometry& p : card)
            if (shot.At(p.x, p.y) != 0xFFFFFFu) return false;
        return true;
    };
    EXPECT_TRUE(tavlin_test::WaitUntil(settled, 10000, 100)) << "the doubled card was never shown cut";
    KeepShot(shot, "progress");
    ASSERT_TRUE(tavlin_test::PressKey(env_, id, "Escape"));
    ASSERT_TRUE(updater.Wait(tavlin_driver_test::kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
}

}  // namespace
}  // namespace tavlin_wm_test
