// The progress window off-screen under Windows, in the language the process
// started with (ctest runs the tests once in Chinese and once in English;
// Wine takes the language from LC_ALL): title and layout, the status line
// and bar, the 360-pixel rule on a first retry, the tick over the job's
// counters, the ways the window ends the updater, and the failure prompt
// shown on a job thread and answered from outside while the window's
// thread keeps running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "UpdaterWnd.h"
#include "download/zipDownloader.h"
#include "platform/text.h"
#include "platform/window/automation.h"
#include "platform/window/message_loop.h"

namespace {

namespace ui = DuiLib;
// curl's headers bring in windows.h, whose WM_*, VK_* and WS_EX_* macros have
// the window system's values: those names are spelled bare here.

// A job that is created but never started; DoInstall only counts.
class IdleJob : public ZipDownloader {
public:
    explicit IdleJob(const UpdateParams& params) : ZipDownloader(params) {}
    void DoInstall() override { ++installs; }
    std::atomic<int> installs{0};
};

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

// Handles the thread's messages until `done` holds or `ms` passed; true
// when the thread's quit message came.
bool PumpUntil(const std::function<bool()>& done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        platform::Msg msg;
        while (platform::PeekMessageW(&msg, nullptr, 0x0001)) {
            if (msg.message == WM_QUIT) return true;
            platform::TranslateMessage(msg);
            platform::DispatchMessageW(msg);
        }
        if (done && done()) return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

class WinUpdaterWndTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetOffscreenMode(true);
        PumpUntil([] { return true; }, 0);
    }
    static bool Chinese() { return CZebWndBase::IsChineseUI(); }
    // As the driver prepares it: created hidden, centred, shown.
    static std::unique_ptr<CUpdaterWnd> MakeWindow() {
        auto wnd = std::make_unique<CUpdaterWnd>();
        EXPECT_NE(wnd->GetHWND(), nullptr) << wnd->GetLoadError();
        wnd->CenterWindow();
        wnd->ShowWindow(true, true);
        return wnd;
    }
};

TEST_F(WinUpdaterWndTest, CreatedWithTitleLayoutAndOnTop) {
    const char* asked = std::getenv("LC_ALL");
    ASSERT_NE(asked, nullptr) << "ctest sets LC_ALL to zh_CN.UTF-8 or en_US.UTF-8";
    ASSERT_EQ(Chinese(), std::string(asked).starts_with("zh_CN")) << asked;
    CUpdaterWnd wnd;
    ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
    EXPECT_EQ(platform::GetWindowTextW(wnd.GetHWND()), Chinese() ? u"升级程序" : u"Update Program");
    EXPECT_EQ(platform::GetClassNameW(wnd.GetHWND()), u"zeb_updater_wnd_class_name");
    EXPECT_TRUE(platform::GetWindowExStyle(wnd.GetHWND()) & WS_EX_TOPMOST);
    EXPECT_FALSE(platform::IsWindowVisible(wnd.GetHWND()));
    EXPECT_NE(wnd.tipsLabel, nullptr);
    EXPECT_NE(wnd.downloadProgress, nullptr);
    EXPECT_EQ(wnd.version != nullptr, Chinese());
    EXPECT_EQ(wnd.listContainer != nullptr, Chinese());
}

TEST_F(WinUpdaterWndTest, StatusLineAndBarForPercentSpeedRetriesAndMode) {
    struct Case {
        bool chinese;
        bool forced;
        int percent;
        uint32_t speed;
        uint32_t retries;
        const char* status;
        int bar;
    };
    const Case cases[] = {
        {true, false, 0, 1023, 0, "已下载：0%  下载速度：1023 B/s", 0},
        {true, false, 57, 1024, 0, "已下载：57%  下载速度：1 KB/s", 57},
        {true, false, 150, 1048577, 1, "已下载：100%（重试第1次)  下载速度：1 MB/s", 100},
        {false, false, 0, 1023, 0, "Download updatings......0%", 0},
        {false, false, 150, 1024, 1, "Download updatings......100%（Retring for 1 times)", 100},
        {true, true, 150, 1023, 3, "客户端有新版本，正在自动更新，请稍候哦100%（重试第3次)", 100},
        {false, true, 57, 1048577, 0, "Find new version for client, updating now ......57%", 57},
    };
    int run = 0;
    for (const Case& c : cases) {
        if (c.chinese != Chinese()) continue;
        ++run;
        auto wnd = MakeWindow();
        wnd->params.forcedUpdate = c.forced ? 1 : 0;
        wnd->retryCount = c.retries;
        wnd->ShowProgress(c.percent, c.speed);
        EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), c.status);
        EXPECT_EQ(wnd->downloadProgress->GetValue(), c.bar) << c.status;
    }
    EXPECT_GE(run, 3);
}

TEST_F(WinUpdaterWndTest, FirstRetrySetsWidth360KeepingRightEdgeAndTop) {
    auto wnd = MakeWindow();
    ui::RECT before;
    ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &before));
    EXPECT_EQ(before.Width(), Chinese() ? 442 : 310);
    wnd->retryCount = 2;
    wnd->ShowProgress(5, 0);
    ui::RECT same;
    ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &same));
    EXPECT_EQ(same.Width(), before.Width()) << "only the first retry narrows the window";

    wnd->retryCount = 1;
    wnd->ShowProgress(5, 0);
    ui::RECT after;
    ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &after));
    EXPECT_EQ(after.Width(), 360);
    EXPECT_EQ(after.right, before.right);
    EXPECT_EQ(after.top, before.top);
    wnd->ShowProgress(6, 0);
    ui::RECT again;
    ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &again));
    EXPECT_EQ(again, after);
}

TEST_F(WinUpdaterWndTest, TickReadsTheJobsCounters) {
    auto wnd = MakeWindow();
    auto job = std::make_shared<IdleJob>(UpdateParams{});
    wnd->job = job;
    job->progress.downloadedBytes = 3000000000LL;
    job->progress.totalBytes = 4000000000LL;
    platform::SendMessageW(wnd->GetHWND(), WM_TIMER, CUpdaterWnd::kProgressTimerId, 0);
    EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()),
              Chinese() ? "已下载：75%  下载速度：2861 MB/s" : "Download updatings......75%");
    EXPECT_EQ(wnd->downloadProgress->GetValue(), 75);
    EXPECT_EQ(wnd->lastDownloaded, static_cast<uint32_t>(3000000000LL));
}

TEST_F(WinUpdaterWndTest, EveryWayOfClosingPostsTheQuit) {
    using Act = std::function<void(ui::HWND)>;
    struct Case {
        const char* what;
        bool chineseOnly;  // the English layout hides its close button
        Act act;
    };
    const Case cases[] = {
        {"WM_CLOSE", false, [](ui::HWND h) { EXPECT_EQ(platform::SendMessageW(h, WM_CLOSE, 0, 0), 1); }},
        {"close button", true, [](ui::HWND h) { EXPECT_TRUE(platform::ClickRegion(h, u"closeButton")); }},
        {"window manager", false, [](ui::HWND h) { platform::RequestClose(h); }},
        {"Escape", false, [](ui::HWND h) { platform::SendKey(h, VK_ESCAPE); }},
    };
    for (const auto& [what, chineseOnly, act] : cases) {
        if (chineseOnly && !Chinese()) continue;
        auto wnd = MakeWindow();
        act(wnd->GetHWND());
        EXPECT_TRUE(PumpUntil({}, 5000)) << what;
        EXPECT_TRUE(platform::IsWindow(wnd->GetHWND())) << what;
    }
}

// The failure prompt is modal on the job's thread while the window's
// thread keeps handling messages; cancelled (Escape) it opens no page, and
// the window then ends the updater.
TEST_F(WinUpdaterWndTest, FailurePromptOnAJobThreadAnsweredFromOutside) {
    auto wnd = MakeWindow();
    std::atomic<bool> returned{false};
    std::thread job([&] {
        wnd->OnJobFailed();
        returned = true;
    });
    ui::HWND prompt = nullptr;
    PumpUntil([&] {
        prompt = platform::FindWindowW(u"zeb_updater_tips_wnd_class_name", {});
        return prompt && platform::IsModalRunning(prompt);
    }, 10000);
    ASSERT_NE(prompt, nullptr) << "no failure prompt";
    std::thread answer([prompt] { platform::SendKey(prompt, VK_ESCAPE); });
    const bool quit = PumpUntil({}, 10000);
    answer.join();
    job.join();
    EXPECT_TRUE(quit);
    EXPECT_TRUE(returned);
    // Only the first failure prompts.
    std::thread second([&] { wnd->OnJobFailed(); });
    second.join();
    EXPECT_EQ(platform::FindWindowW(u"zeb_updater_tips_wnd_class_name", {}), nullptr);
}

}  // namespace
