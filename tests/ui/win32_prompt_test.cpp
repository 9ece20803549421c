// The prompt box and the update-finished window off-screen under Windows:
// the results of keys, buttons and closing, the modes, a long message, and
// a modal prompt on a second thread answered while the first thread's
// window keeps ticking. Windows takes the user's language once per process:
// ctest runs these tests once in Chinese and once in English
// (LC_ALL, which Wine reads at the start).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "LaunchWnd.h"
#include "TipsBoxWnd.h"
#include "platform/text.h"
#include "platform/window/automation.h"

namespace tavlin_ui_test {
namespace {

using namespace DuiLib;
using Action = std::function<void(HWND)>;

class WinPromptTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetOffscreenMode(true); }
    static bool Chinese() { return CZebWndBase::IsChineseUI(); }
};

Action Key(unsigned vk) {
    return [vk](HWND h) { platform::SendKey(h, vk); };
}
Action Click(const char16_t* name) {
    return [name](HWND h) { EXPECT_TRUE(platform::ClickRegion(h, name)) << platform::Utf16ToUtf8(name); };
}
Action WindowManagerClose() {
    return [](HWND h) { platform::RequestClose(h); };
}

// Acts on another thread once the window's modal loop runs (bounded wait);
// a timer ends the loop with 99 should the action not.
template <typename Wnd>
UINT RunModal(Wnd& wnd, const Action& act) {
    HWND hwnd = wnd.GetHWND();
    platform::SetTimer(hwnd, 0x5EED, 10000, [](HWND h, unsigned, uintptr_t, uint32_t) { platform::EndModal(h, 99); });
    std::thread driver([hwnd, act] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!platform::IsModalRunning(hwnd) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        act(hwnd);
    });
    const UINT result = wnd.ShowModal();
    driver.join();
    return result;
}

TEST_F(WinPromptTest, RunsInTheLanguageAskedFor) {
    const char* asked = std::getenv("LC_ALL");
    ASSERT_NE(asked, nullptr) << "ctest sets LC_ALL to zh_CN.UTF-8 or en_US.UTF-8";
    EXPECT_EQ(Chinese(), std::string(asked).starts_with("zh_CN")) << asked;
    CTipsBoxWnd tips(nullptr, u"x", 0);
    EXPECT_EQ(tips.GetSkinFile(), Chinese() ? u"TipsBoxWnd.xml" : u"TipsBoxWnd_en.xml");
    CLaunchWnd launch;
    EXPECT_EQ(platform::GetWindowTextW(launch.GetHWND()), Chinese() ? u"升级程序" : u"Update Program");
}

TEST_F(WinPromptTest, ResultsOfKeysButtonsAndClosing) {
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
        {"tips window manager close", false, WindowManagerClose(), 2},
        {"launch window manager close", true, WindowManagerClose(), 2},
        {"launch Escape", true, Key(VK_ESCAPE), 2},
        {"launch Enter", true, Key(VK_RETURN), 1},
        {"launch close button", true, Click(u"closeButton"), 1},
        {"launch button without a program", true, Click(u"launchButton"), 1},
    };
    for (const Case& c : cases) {
        UINT result;
        HWND hwnd;
        if (c.launchWindow) {
            CLaunchWnd wnd;
            ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
            wnd.CenterWindow();
            hwnd = wnd.GetHWND();
            result = RunModal(wnd, c.act);
        } else {
            CTipsBoxWnd wnd(nullptr, u"message", 1);
            ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
            hwnd = wnd.GetHWND();
            result = RunModal(wnd, c.act);
        }
        EXPECT_EQ(result, c.expected) << c.what;
        EXPECT_FALSE(platform::IsWindow(hwnd)) << c.what;
    }
}

TEST_F(WinPromptTest, ModesSetCaptionAndCancelVisibility) {
    struct Case {
        int mode;
        const char16_t* caption;
        bool cancelShown;
    };
    for (const Case& c : {Case{0, u"确定", false}, Case{1, u"确定", true}, Case{2, u"", false}, Case{3, u"确定", true}}) {
        CTipsBoxWnd wnd(nullptr, u"您的客户端版本太低，将更新至最新版本!", c.mode);
        ASSERT_NE(wnd.confirmButton, nullptr);
        ASSERT_NE(wnd.cancelButton, nullptr);
        ASSERT_NE(wnd.tipsLabel, nullptr);
        EXPECT_EQ(wnd.confirmButton->GetText(), c.caption) << c.mode;
        EXPECT_EQ(wnd.cancelButton->IsVisible(), c.cancelShown) << c.mode;
        EXPECT_EQ(wnd.tipsLabel->GetText(), u"您的客户端版本太低，将更新至最新版本!");
        RECT r;
        EXPECT_EQ(platform::GetRegionRect(wnd.GetHWND(), u"cancelButton", &r), c.cancelShown) << c.mode;
    }
}

// Wider than a line in either language's font: it wraps and the box grows,
// with the whole message and the buttons inside.
TEST_F(WinPromptTest, LongMessageWrapsAndTheBoxGrows) {
    for (const char16_t* text :
         {u"The network has been disconnected. Please check the network environment and try again.",
          u"Update failed.\nDisk full.\nFree some space.\nThen try again."}) {
        CTipsBoxWnd wnd(nullptr, text, 1);
        ASSERT_NE(wnd.tipsLabel, nullptr);
        RECT client, label, confirm;
        ASSERT_TRUE(GetClientRect(wnd.GetHWND(), &client));
        ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"tipsLabel", &label));
        ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"confirmButton", &confirm));
        const std::string what = platform::Utf16ToUtf8(text);
        EXPECT_EQ(client.Width(), 310) << what;
        EXPECT_GT(client.Height(), 100) << what;
        EXPECT_LE(wnd.tipsLabel->MeasureText(label.Width()).cy, label.Height()) << what << ": the message is cut";
        EXPECT_LE(confirm.bottom, client.bottom) << what;
        EXPECT_GE(confirm.top, label.bottom) << what;
    }
    CTipsBoxWnd shortOne(nullptr, u"Update now or next time.", 1);
    RECT client;
    ASSERT_TRUE(GetClientRect(shortOne.GetHWND(), &client));
    EXPECT_EQ(client.Height(), 100);
}

// The failure prompt's road: a modal box on a job thread while the window
// thread's loop keeps ticking, answered from that thread, then a
// synchronous message back to it.
TEST_F(WinPromptTest, ModalPromptOnSecondThreadWhileFirstThreadTicks) {
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
