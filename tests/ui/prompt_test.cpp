// The prompt box and the update-finished window, off-screen: the results of
// keys and buttons, the presentation modes, the launch button, tooltips,
// and a modal prompt on a second thread beside a ticking first thread.
#include <atomic>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "child_process.h"
#include "platform/text.h"
#include "temp_dir.h"
#include "ui_test_util.h"

namespace tavlin_ui_test {
namespace {

class PromptTest : public UiTest {};

using Action = std::function<void(HWND)>;

Action Key(unsigned vk) {
    return [vk](HWND h) { platform::SendKey(h, vk); };
}
Action Click(const char16_t* name) {
    return [name](HWND h) { EXPECT_TRUE(platform::ClickRegion(h, name)) << platform::Utf16ToUtf8(name); };
}
Action WindowManagerClose() {
    return [](HWND h) { platform::RequestClose(h); };
}

template <typename Wnd>
UINT RunModal(Wnd& wnd, const Action& act) {
    ArmTimeout(wnd.GetHWND());
    ModalDriver driver(wnd.GetHWND(), act);
    return wnd.ShowModal();
}

TEST_F(PromptTest, ResultsOfKeysButtonsAndClosing) {
    struct Case {
        const char* what;
        bool launchWindow;
        Action act;
        UINT expected;
    };
    const Case cases[] = {
        {"tips Escape", false, Key(VK_ESCAPE), 2},
        {"tips Enter", false, Key(VK_RETURN), 1},
        {"tips close button", false, Click(u"closeButton"), 2},
        {"tips cancel button", false, Click(u"cancelButton"), 2},
        {"tips confirm button", false, Click(u"confirmButton"), 1},
        // Closed by the window manager (Alt+F4): cancelled, as by Escape.
        {"tips window manager close", false, WindowManagerClose(), 2},
        {"launch window manager close", true, WindowManagerClose(), 2},
        {"launch Escape", true, Key(VK_ESCAPE), 2},
        {"launch Enter", true, Key(VK_RETURN), 1},
        {"launch close button", true, Click(u"closeButton"), 1},
        {"launch button without a program", true, Click(u"launchButton"), 1},
    };
    for (const char* locale : {"zh_CN.UTF-8", "en_US.UTF-8"}) {
        UseLocale(locale);
        for (const Case& c : cases) {
            UINT result;
            HWND hwnd;
            if (c.launchWindow) {
                CLaunchWnd wnd;
                wnd.CenterWindow();
                hwnd = wnd.GetHWND();
                result = RunModal(wnd, c.act);
            } else {
                CTipsBoxWnd wnd(nullptr, u"message", 1);
                hwnd = wnd.GetHWND();
                result = RunModal(wnd, c.act);
            }
            EXPECT_EQ(result, c.expected) << c.what << " " << locale;
            // The answer also ends the native window.
            EXPECT_FALSE(platform::IsWindow(hwnd)) << c.what;
        }
    }
}

TEST_F(PromptTest, ModesSetCaptionColoursAndCancelVisibility) {
    struct Case {
        const char* locale;
        int mode;
        const char16_t* caption;
        bool cancelShown;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", 0, u"确定", false},
        {"en_US.UTF-8", 0, u"确定", false},  // the same caption in English
        {"en_US.UTF-8", 1, u"确定", true},
        {"zh_CN.UTF-8", 2, u"", false},
        {"en_US.UTF-8", 2, u"", false},
        {"zh_CN.UTF-8", 3, u"确定", true},
    };
    for (const Case& c : cases) {
        UseLocale(c.locale);
        CTipsBoxWnd wnd(nullptr, u"您的客户端版本太低，将更新至最新版本!", c.mode);
        ASSERT_NE(wnd.confirmButton, nullptr);
        ASSERT_NE(wnd.cancelButton, nullptr);
        ASSERT_NE(wnd.tipsLabel, nullptr);
        EXPECT_EQ(wnd.confirmButton->GetText(), c.caption) << c.mode << " " << c.locale;
        EXPECT_EQ(wnd.cancelButton->IsVisible(), c.cancelShown) << c.mode;
        EXPECT_EQ(wnd.tipsLabel->GetText(), u"您的客户端版本太低，将更新至最新版本!");
        EXPECT_EQ(wnd.confirmButton->GetTextColor(), 0x00000000u);
        EXPECT_EQ(wnd.confirmButton->GetHotTextColor(), 0x00FFFFFFu);
        EXPECT_EQ(wnd.confirmButton->GetPushedTextColor(), 0x00B2C3CCu);
        RECT r;
        EXPECT_EQ(platform::GetRegionRect(wnd.GetHWND(), u"cancelButton", &r), c.cancelShown);
    }
    // A hidden cancel button takes no clicks: the press lands on the body.
    UseEnglish();
    CTipsBoxWnd wnd(nullptr, u"x", 2);
    wnd.confirmButton->SetText(u"Go Downloading Page");
    ArmTimeout(wnd.GetHWND());
    ModalDriver driver(wnd.GetHWND(), [](HWND h) {
        platform::ClickAt(h, POINT{180, 80});
        platform::SendKey(h, VK_RETURN);
    });
    EXPECT_EQ(wnd.ShowModal(), 1u);
}

TEST_F(PromptTest, PromptCentresItselfOnTheScreen) {
    UseChinese();
    CTipsBoxWnd wnd(nullptr, u"x", 0);
    RECT rc, screen = platform::GetScreenRect();
    ASSERT_TRUE(platform::GetWindowRect(wnd.GetHWND(), &rc));
    EXPECT_NEAR(rc.left + rc.Width() / 2, screen.left + screen.Width() / 2, 1);
    EXPECT_NEAR(rc.top + rc.Height() / 2, screen.top + screen.Height() / 2, 1);
}

TEST_F(PromptTest, LaunchButtonStartsProgramWithParameters) {
    tavlin_test::TempDir dir("tavlin-ui-");
    const std::string script = dir / "client.sh";
    const std::string out = dir / "args.txt";
    ASSERT_TRUE(tavlin_test::WriteFileText(script, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + out + ".tmp' && mv '" +
                                                       out + ".tmp' '" + out + "'\n"));
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    UseEnglish();
    CLaunchWnd wnd;
    wnd.program = script;
    wnd.parameters = "tavlin://open?room=5 \"quoted part\"";
    EXPECT_EQ(RunModal(wnd, Click(u"launchButton")), 1u);
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return tavlin_test::FileExists(out); }, 10000));
    EXPECT_EQ(tavlin_test::ReadFileText(out), "1|tavlin://open?room=5 \"quoted part\"");
}

TEST_F(PromptTest, HoveringTheCloseButtonShowsItsTooltip) {
    UseChinese();
    CTipsBoxWnd wnd(nullptr, u"x", 0);
    RECT r;
    ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"closeButton", &r));
    platform::PostMessageW(wnd.GetHWND(), WM_MOUSEMOVE, 0, MakeLParam(r.left + 3, r.top + 3));
    HWND tip = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!tip && std::chrono::steady_clock::now() < deadline) {
        platform::Msg m;
        while (platform::PeekMessageW(&m)) platform::DispatchMessageW(m);
        tip = platform::FindWindowW(u"tavlin_tooltip", u"关闭");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(tip, nullptr);
    EXPECT_TRUE(platform::IsWindowVisible(tip));
    auto* close = dynamic_cast<CButtonUI*>(wnd.GetPaintManager().FindControl(u"closeButton"));
    EXPECT_TRUE(close->IsHot());
    // Leaving the button takes the tooltip away.
    platform::SendMessageW(wnd.GetHWND(), WM_MOUSEMOVE, 0, MakeLParam(100, 60));
    EXPECT_FALSE(platform::IsWindow(tip));
    EXPECT_FALSE(close->IsHot());
}

// Black (0) is a caption colour like any other: a hot colour of 0 draws the
// hovered caption black, and a pushed colour left unset falls back to it.
TEST_F(PromptTest, BlackHotCaptionIsAColourAndUnsetPushedFallsBack) {
    UseEnglish();
    CTipsBoxWnd wnd(nullptr, u"x", 0);
    ASSERT_NE(wnd.confirmButton, nullptr);
    wnd.confirmButton->SetTextColor(0x00FF0000);
    wnd.confirmButton->SetHotTextColor(0x00000000);
    wnd.confirmButton->SetPushedTextColor(std::nullopt);
    RECT button;
    ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"confirmButton", &button));
    // Caption pixels that are clearly red, and clearly black.
    auto ink = [&] {
        RECT client;
        GetClientRect(wnd.GetHWND(), &client);
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, client.Width(), client.Height());
        cairo_t* cr = cairo_create(s);
        wnd.GetPaintManager().Render(cr);
        cairo_destroy(cr);
        cairo_surface_flush(s);
        std::pair<int, int> redBlack{0, 0};
        for (int y = button.top; y < button.bottom; ++y)
            for (int x = button.left; x < button.right; ++x) {
                const uint32_t c = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                                     y * cairo_image_surface_get_stride(s))[x];
                const int r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
                if (r > 180 && g < 80 && b < 80) ++redBlack.first;
                if (r < 60 && g < 60 && b < 60) ++redBlack.second;
            }
        cairo_surface_destroy(s);
        return redBlack;
    };
    const LPARAM centre = MakeLParam((button.left + button.right) / 2, (button.top + button.bottom) / 2);
    auto [red, black] = ink();
    EXPECT_GT(red, 10) << "normal: the text colour";
    EXPECT_EQ(black, 0);
    platform::SendMessageW(wnd.GetHWND(), WM_MOUSEMOVE, 0, centre);
    ASSERT_TRUE(wnd.confirmButton->IsHot());
    std::tie(red, black) = ink();
    EXPECT_EQ(red, 0) << "hot: black, not the text colour";
    EXPECT_GT(black, 10);
    platform::SendMessageW(wnd.GetHWND(), WM_LBUTTONDOWN, 0, centre);
    ASSERT_TRUE(wnd.confirmButton->IsPushed());
    std::tie(red, black) = ink();
    EXPECT_EQ(red, 0) << "pushed, unset: the hot colour";
    EXPECT_GT(black, 10);
}

// The failure prompt's road: a modal box on a job thread while the window
// thread's loop keeps ticking, answered from outside, then a synchronous
// message back to the window thread.
TEST_F(PromptTest, ModalPromptOnSecondThreadWhileFirstThreadTicks) {
    UseChinese();
    struct State {
        std::atomic<int> ticks{0};
        std::atomic<int> ticksAtPrompt{-1};
        std::atomic<HWND> prompt{nullptr};
        std::atomic<bool> answered{false};
    } state;
    platform::CreateWindowParams p;
    p.className = u"tavlin_ticker";
    p.title = u"ticker";
    p.userData = &state;
    p.proc = [](HWND h, unsigned msg, WPARAM w, LPARAM l) -> LRESULT {
        auto* s = static_cast<State*>(platform::GetWindowUserData(h));
        if (s && msg == WM_TIMER && w == 1121) {
            ++s->ticks;
            HWND prompt = s->prompt.load();
            // Answer the prompt once the ticker has ticked beside it a while.
            if (prompt && s->ticksAtPrompt < 0) s->ticksAtPrompt = s->ticks.load();
            if (prompt && !s->answered && s->ticks >= s->ticksAtPrompt + 5) {
                s->answered = true;
                platform::SendKey(prompt, VK_RETURN);
            }
            return 0;
        }
        if (msg == WM_USER + 7) {
            platform::PostQuitMessage(0);
            return 1234;
        }
        return platform::DefWindowProcW(h, msg, w, l);
    };
    HWND ticker = platform::CreateWindowW(p);
    ASSERT_NE(ticker, nullptr);
    platform::SetTimer(ticker, 1121, 10);
    // Bounds the whole test should the prompt never show.
    platform::SetTimer(ticker, 99, 15000, [](HWND, unsigned, uintptr_t, uint32_t) { platform::PostQuitMessage(1); });

    UINT promptResult = 0;
    LRESULT sent = 0;
    bool promptCreated = false;
    std::thread job([&] {
        CTipsBoxWnd box(nullptr, u"网络已断开，请检查网络环境后重试~", 2);
        promptCreated = box.GetHWND() != nullptr;
        if (!promptCreated) {
            platform::PostMessageW(ticker, WM_USER + 7, 0, 0);
            return;
        }
        box.confirmButton->SetText(u"关闭");
        state.prompt = box.GetHWND();
        promptResult = box.ShowModal();
        state.prompt = nullptr;
        sent = platform::SendMessageW(ticker, WM_USER + 7, 0, 0);
    });
    const int exitCode = platform::RunMessageLoop();
    job.join();
    ASSERT_TRUE(promptCreated);
    EXPECT_EQ(exitCode, 0) << "timed out";
    EXPECT_EQ(promptResult, 1u);
    EXPECT_EQ(sent, 1234);
    EXPECT_GE(state.ticks - std::max(0, state.ticksAtPrompt.load()), 5);
    platform::DestroyWindow(ticker);
}

}  // namespace
}  // namespace tavlin_ui_test

namespace tavlin_ui_test {
namespace {

// A message too wide for one line wraps, and the box grows to show all of
// it with the buttons still inside, as it does for a message of several
// lines; short messages keep the 310 x 100 box.
TEST_F(PromptTest, LongMessageWrapsAndTheBoxGrows) {
    struct Case {
        const char* locale;
        const char16_t* text;
        bool grows;
    };
    const Case cases[] = {
        {"en_US.UTF-8", u"The network has been disconnected. Please check the network environment and try again.", true},
        {"en_US.UTF-8", u"Problems occured. Please visit our website~", true},
        {"zh_CN.UTF-8", u"网络已断开，请检查网络环境后重试~", false},
        {"en_US.UTF-8", u"Update now or next time.", false},
        // Short lines, each within the width: the breaks alone make it tall.
        {"en_US.UTF-8", u"Update failed.\nDisk full.\nFree some space.\nThen try again.", true},
    };
    for (const Case& c : cases) {
        UseLocale(c.locale);
        CTipsBoxWnd wnd(nullptr, c.text, 1);
        ASSERT_NE(wnd.tipsLabel, nullptr);
        RECT client, label, confirm;
        ASSERT_TRUE(GetClientRect(wnd.GetHWND(), &client));
        ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"tipsLabel", &label));
        ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"confirmButton", &confirm));
        const std::string what = platform::Utf16ToUtf8(c.text);
        EXPECT_EQ(client.Width(), 310) << what;
        EXPECT_EQ(client.Height() > 100, c.grows) << what;
        SIZE wrapped = wnd.tipsLabel->MeasureText(label.Width());
        EXPECT_LE(wrapped.cx, label.Width()) << what;
        EXPECT_LE(wrapped.cy, label.Height()) << what << ": the message is cut";
        EXPECT_LE(confirm.bottom, client.bottom) << what;
        EXPECT_GE(confirm.top, label.bottom) << what;
        // Still centred after growing.
        RECT rc, screen = platform::GetScreenRect();
        ASSERT_TRUE(platform::GetWindowRect(wnd.GetHWND(), &rc));
        EXPECT_NEAR(rc.top + rc.Height() / 2, screen.top + screen.Height() / 2, 1) << what;
    }
}

}  // namespace
}  // namespace tavlin_ui_test
