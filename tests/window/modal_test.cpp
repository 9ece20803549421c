// Modal loops: on another thread, over an owner, and how they end.
#include <atomic>

#include "platform/window/automation.h"
#include "window_test_util.h"

namespace tavlin_window_test {
namespace {

constexpr unsigned kPosted = WM_USER + 1;

class ModalTest : public ::testing::Test {
protected:
    void SetUp() override { SetOffscreenMode(true); }
};

TEST_F(ModalTest, ModalLoopOnSecondThreadWhileFirstThreadsTimerKeepsTicking) {
    std::atomic<int> ticks{0};
    Handler h = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_TIMER) ++ticks;
        return std::nullopt;
    };
    Hwnd main = MakeWindow(&h, u"main");
    ASSERT_TRUE(SetTimer(main, 1, 10));

    auto modal = std::async(std::launch::async, [] {
        Handler none;
        Hwnd w = MakeWindow(&none, u"modal on worker");
        int r = RunModalLoop(w);
        DestroyWindow(w);
        return r;
    });
    Hwnd box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = FindWindowW(u"", u"modal on worker")) && IsModalRunning(box); }));
    int before = ticks;
    ASSERT_TRUE(PumpUntil([&] { return ticks >= before + 3; }));
    EXPECT_TRUE(IsModalRunning(box));
    EXPECT_NE(GetWindowThreadId(box), GetCurrentThreadId());
    EXPECT_TRUE(EndModal(box, 5));
    EXPECT_EQ(GetWithin(modal, 5000, "modal loop"), 5);
    DestroyWindow(main);
}

TEST_F(ModalTest, OwnerIsDisabledWhileTheThreadsOtherWindowsKeepWorking) {
    std::atomic<int> ownerKeys{0}, siblingTicks{0}, siblingPosts{0};
    Handler ownerH = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_KEYDOWN) ++ownerKeys;
        return std::nullopt;
    };
    Handler siblingH = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_TIMER) ++siblingTicks;
        if (msg == kPosted) ++siblingPosts;
        return std::nullopt;
    };
    Hwnd owner = MakeWindow(&ownerH, u"owner");
    Hwnd sibling = MakeWindow(&siblingH, u"sibling");
    ASSERT_TRUE(SetTimer(sibling, 1, 10));

    bool ownerDisabledInside = false;
    Hwnd modal = nullptr;
    Handler modalH = [&](Hwnd self, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_TIMER) return std::nullopt;
        KillTimer(self, 9);
        ownerDisabledInside = !IsWindowEnabled(owner);
        SendKey(owner, VK_RETURN);  // input to a disabled window is dropped
        PostMessageW(sibling, kPosted, 0, 0);
        int start = siblingTicks;
        // Still inside the modal loop: a nested pump serves the sibling.
        PumpUntil([&] { return siblingTicks >= start + 3 && siblingPosts == 1; });
        EndModal(self, 3);
        return 0;
    };
    modal = MakeWindow(&modalH, u"modal", owner);
    ASSERT_TRUE(SetTimer(modal, 9, 10));
    EXPECT_EQ(RunModalLoop(modal), 3);

    EXPECT_TRUE(ownerDisabledInside);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(siblingPosts.load(), 1);
    EXPECT_EQ(ownerKeys.load(), 0);
    // Once enabled again, the owner takes input.
    SendKey(owner, VK_RETURN);
    EXPECT_TRUE(PumpUntil([&] { return ownerKeys == 1; }));
    DestroyWindow(modal);
    DestroyWindow(sibling);
    DestroyWindow(owner);
}

TEST_F(ModalTest, LoopEndsWhenItsWindowIsDestroyedOrTheThreadIsAskedToQuit) {
    struct Case {
        const char* name;
        bool quit;
    };
    for (const Case& c : {Case{"destroyed", false}, Case{"quit", true}}) {
        SCOPED_TRACE(c.name);
        Handler h = [&](Hwnd self, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
            if (msg != WM_TIMER) return std::nullopt;
            KillTimer(self, 1);
            if (c.quit) PostQuitMessage(4);
            else DestroyWindow(self);
            return 0;
        };
        Hwnd w = MakeWindow(&h);
        SetTimer(w, 1, 10);
        EXPECT_EQ(RunModalLoop(w), 0);
        if (c.quit) {
            // The quit is left for the outer loop.
            Msg m;
            EXPECT_FALSE(GetMessageW(&m));
            EXPECT_EQ(m.message, WM_QUIT);
            EXPECT_EQ(m.wParam, 4u);
            DestroyWindow(w);
        }
        EXPECT_FALSE(IsWindow(w));
    }
}

TEST_F(ModalTest, EndModalFromAnotherThreadWakesAnIdleLoop) {
    auto modal = std::async(std::launch::async, [] {
        Handler none;
        Hwnd w = MakeWindow(&none, u"idle modal");
        int r = RunModalLoop(w);
        DestroyWindow(w);
        return r;
    });
    Hwnd box = WaitForWindow(u"", u"idle modal", 5000);
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return IsModalRunning(box); }));
    EXPECT_TRUE(EndModal(box, 8));
    EXPECT_EQ(GetWithin(modal, 5000, "modal loop"), 8);
    EXPECT_FALSE(EndModal(box, 1));
}

}  // namespace
}  // namespace tavlin_window_test
