// The progress window off-screen, on this thread: the status line and bar
// for percentages, speeds, retries, languages and modes; the width rule on
// a first retry; the tick over the job's counters; the version label and
// release notes; completion in both modes; and the ways the window ends
// the updater.
#include <memory>
#include <string>

#include "LaunchWnd.h"
#include "TipsBoxWnd.h"
#include "platform/network.h"
#include "platform/text.h"
#include "wnd_test_util.h"

namespace wnd_test {
namespace {

using namespace DuiLib;

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

class UpdaterWndTest : public WndTest {};

// A window as the driver prepares it: created, hidden, centred, shown.
std::unique_ptr<CUpdaterWnd> MakeWindow() {
    auto wnd = std::make_unique<CUpdaterWnd>();
    EXPECT_NE(wnd->GetHWND(), nullptr) << wnd->GetLoadError();
    wnd->ShowWindow(false, true);
    wnd->CenterWindow();
    wnd->ShowWindow(true, true);
    return wnd;
}

TEST_F(UpdaterWndTest, CreatedWithTitleLayoutAndOnTop) {
    struct Case {
        const char* locale;
        const char16_t* title;
        bool chineseLayout;
    };
    const Case cases[] = {{"zh_CN.UTF-8", u"升级程序", true},
                          {"en_US.UTF-8", u"Update Program", false},
                          {"zh_TW.UTF-8", u"Update Program", false}};
    for (const Case& c : cases) {
        UseLocale(c.locale);
        CUpdaterWnd wnd;
        ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
        EXPECT_EQ(platform::GetWindowTextW(wnd.GetHWND()), c.title);
        EXPECT_EQ(platform::GetClassNameW(wnd.GetHWND()), u"zeb_updater_wnd_class_name");
        EXPECT_TRUE(platform::GetWindowExStyle(wnd.GetHWND()) & WS_EX_TOPMOST) << c.locale;
        // Created hidden; the driver shows it.
        EXPECT_FALSE(platform::IsWindowVisible(wnd.GetHWND()));
        // Controls of the layout found, those it lacks left empty.
        EXPECT_NE(wnd.tipsLabel, nullptr);
        EXPECT_NE(wnd.downloadProgress, nullptr);
        EXPECT_NE(wnd.closeButton, nullptr);
        EXPECT_NE(wnd.buttonLayout, nullptr);
        EXPECT_NE(wnd.progressLayout, nullptr);
        EXPECT_EQ(wnd.title != nullptr, c.chineseLayout) << c.locale;
        EXPECT_EQ(wnd.version != nullptr, c.chineseLayout) << c.locale;
        EXPECT_EQ(wnd.listContainer != nullptr, c.chineseLayout) << c.locale;
        EXPECT_EQ(wnd.minButton != nullptr, c.chineseLayout) << c.locale;
        EXPECT_EQ(wnd.installButton, nullptr);
    }
}

TEST_F(UpdaterWndTest, StatusLineAndBarForPercentSpeedRetriesLanguageAndMode) {
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
        {true, false, 100, 1048576, 3, "已下载：100%（重试第3次)  下载速度：1024 KB/s", 100},
        {true, false, 150, 1048577, 1, "已下载：100%（重试第1次)  下载速度：1 MB/s", 100},
        {false, false, 0, 1023, 0, "Download updatings......0%", 0},
        {false, false, 57, 1048577, 3, "Download updatings......57%（Retring for 3 times)", 57},
        {false, false, 150, 1024, 1, "Download updatings......100%（Retring for 1 times)", 100},
        {true, true, 57, 1048576, 0, "客户端有新版本，正在自动更新，请稍候哦57%", 57},
        {true, true, 150, 1023, 3, "客户端有新版本，正在自动更新，请稍候哦100%（重试第3次)", 100},
        {false, true, 0, 1048577, 0, "Find new version for client, updating now ......0%", 0},
        {false, true, 100, 1024, 3, "Find new version for client, updating now ......100%（Retring for 3 times)",
         100},
    };
    for (const Case& c : cases) {
        c.chinese ? UseChinese() : UseEnglish();
        auto wnd = MakeWindow();
        wnd->params.forcedUpdate = c.forced ? 1 : 0;
        wnd->retryCount = c.retries;
        wnd->ShowProgress(c.percent, c.speed);
        EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), c.status);
        EXPECT_EQ(wnd->downloadProgress->GetValue(), c.bar) << c.status;
    }
}

TEST_F(UpdaterWndTest, LanguageIsAskedAtEachUpdate) {
    UseChinese();
    auto wnd = MakeWindow();
    wnd->ShowProgress(10, 10);
    EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), "已下载：10%  下载速度：10 B/s");
    UseEnglish();
    wnd->ShowProgress(10, 10);
    EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), "Download updatings......10%");
}

TEST_F(UpdaterWndTest, FirstRetrySetsWidth360KeepingRightEdgeTopAndHeight) {
    for (bool chinese : {true, false}) {
        chinese ? UseChinese() : UseEnglish();
        auto wnd = MakeWindow();
        RECT before;
        ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &before));
        EXPECT_EQ(before.Width(), chinese ? 442 : 310);

        // Other counts leave the width and place as they are. (An English
        // status with a retry count wraps onto a second line, and the
        // window grows by that line.)
        RECT same = before;
        for (uint32_t retries : {0u, 2u, 3u}) {
            wnd->retryCount = retries;
            wnd->ShowProgress(5, 0);
            ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &same));
            EXPECT_EQ(same.left, before.left) << retries;
            EXPECT_EQ(same.right, before.right) << retries;
            EXPECT_EQ(same.top, before.top) << retries;
            EXPECT_EQ(same.Height() == before.Height(), chinese || retries == 0) << retries;
        }

        wnd->retryCount = 1;
        wnd->ShowProgress(5, 0);
        RECT after;
        ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &after));
        EXPECT_EQ(after.Width(), 360) << chinese;
        EXPECT_EQ(after.right, before.right) << chinese;
        EXPECT_EQ(after.top, before.top);
        EXPECT_EQ(after.Height(), same.Height());

        // Again on the next tick with the same count: nothing moves further.
        wnd->ShowProgress(6, 0);
        RECT again;
        ASSERT_TRUE(platform::GetWindowRect(wnd->GetHWND(), &again));
        EXPECT_EQ(again, after);
    }
}

TEST_F(UpdaterWndTest, TickReadsTheJobsCountersOncePerTimerMessage) {
    UseChinese();
    auto wnd = MakeWindow();
    UpdateParams params;
    auto job = std::make_shared<IdleJob>(params);
    wnd->job = job;
    struct Step {
        int64_t downloaded, total;
        const char* status;
        int bar;
    };
    const Step steps[] = {
        {0, 0, "已下载：0%  下载速度：0 B/s", 0},
        {57, 100, "已下载：57%  下载速度：57 B/s", 57},
        {2105, 10000, "已下载：21%  下载速度：2 KB/s", 21},
        {3000000000LL, 4000000000LL, "已下载：75%  下载速度：2861 MB/s", 75},
        // A failed verification resets the count: no speed for that tick.
        {0, 4000000000LL, "已下载：0%  下载速度：0 B/s", 0},
    };
    for (const Step& s : steps) {
        job->progress.downloadedBytes = s.downloaded;
        job->progress.totalBytes = s.total;
        platform::SendMessageW(wnd->GetHWND(), WM_TIMER, CUpdaterWnd::kProgressTimerId, 0);
        EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), s.status);
        EXPECT_EQ(wnd->downloadProgress->GetValue(), s.bar);
        EXPECT_EQ(wnd->lastDownloaded, static_cast<uint32_t>(s.downloaded));
    }
    // Another timer leaves the status line alone.
    job->progress.downloadedBytes = 50;
    platform::SendMessageW(wnd->GetHWND(), WM_TIMER, 7, 0);
    EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), "已下载：0%  下载速度：0 B/s");
}

// StartJob with a job that cannot reach its server: what the window shows
// does not depend on the download.
class StartJobTest : public UpdaterWndTest {
protected:
    UpdateParams Params(std::string newVersion, std::string prompt) {
        UpdateParams p;
        p.zipUrl = "http://127.0.0.1:1/update.zip";
        p.zipMd5 = "0123456789abcdef0123456789abcdef";
        p.newVersion = std::move(newVersion);
        p.prompt = std::move(prompt);
        return p;
    }
    void Prepare(CUpdaterWnd& wnd) {
        wnd.prepareJob = [this](ZipDownloader& job) { job.workDir = dir.path() + "/"; };
    }
    tavlin_test::TempDir dir{"tavlin-wnd-"};
};

TEST_F(StartJobTest, VersionLabelAndReleaseNotesInOrder) {
    UseChinese();
    {
        auto wnd = MakeWindow();
        Prepare(*wnd);
        ASSERT_TRUE(wnd->StartJob(Params("9.1.0", "修复崩溃*更快的下载**Last line*")));
        EXPECT_EQ(Utf8(wnd->version->GetText()), "最新版本：9.1.0");
        ASSERT_NE(wnd->job, nullptr);
        EXPECT_EQ(wnd->params.newVersion, "9.1.0");
        EXPECT_EQ(wnd->job->params.prompt, "修复崩溃*更快的下载**Last line*");
        EXPECT_EQ(wnd->job->workDir, dir.path() + "/");

        CListUI& list = *wnd->listContainer;
        EXPECT_TRUE(list.IsVerticalScrollBarEnabled());
        const char* lines[] = {"修复崩溃", "更快的下载", "", "Last line"};
        ASSERT_EQ(list.GetCount(), 4);
        for (int i = 0; i < 4; ++i) {
            auto* label = dynamic_cast<CLabelUI*>(list.GetItemAt(i));
            ASSERT_NE(label, nullptr) << i;
            EXPECT_EQ(Utf8(label->GetText()), lines[i]);
            EXPECT_EQ(label->GetFixedWidth(), 260);
            EXPECT_EQ(label->GetFont(), 2);
            EXPECT_EQ(label->GetTextColor(), 0x005D5D5Du);
            EXPECT_TRUE(label->GetTextStyle() & DT_WORDBREAK);
            EXPECT_FALSE(label->GetTextStyle() & DT_SINGLELINE);
        }
    }
    {
        auto wnd = MakeWindow();
        Prepare(*wnd);
        wnd->StartJob(Params("", ""));
        EXPECT_EQ(Utf8(wnd->version->GetText()), "当前版本：8.6.6");
        // Without notes the list keeps what the layout gave it.
        EXPECT_EQ(wnd->listContainer->GetCount(), 0);
    }
}

TEST_F(StartJobTest, EnglishLayoutWithoutVersionOrListStillStartsTheJob) {
    // Without a network the job reports a failure at once (tested apart).
    if (!platform::IsNetworkAlive()) GTEST_SKIP() << "no network on this machine";
    UseEnglish();
    auto wnd = MakeWindow();
    Prepare(*wnd);
    EXPECT_TRUE(wnd->StartJob(Params("9.1.0", "a*b")));
    ASSERT_NE(wnd->job, nullptr);
    EXPECT_TRUE(wnd->job->onRetry);
    EXPECT_TRUE(wnd->job->onFailure);
    // The job's worker runs (its done event is reset while it does).
    EXPECT_FALSE(wnd->job->WaitDone(0));
    // The first tick comes from the timer a second later.
    EXPECT_FALSE(PumpUntil([&] { return !wnd->tipsLabel->GetText().empty(); }, 5000));
    EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), "Download updatings......0%");
}

TEST_F(UpdaterWndTest, OrdinaryCompletionTextsInBothLanguages) {
    for (bool chinese : {true, false}) {
        chinese ? UseChinese() : UseEnglish();
        auto wnd = MakeWindow();
        UpdateParams params;
        auto job = std::make_shared<IdleJob>(params);
        wnd->job = job;
        ASSERT_NE(platform::SetTimer(wnd->GetHWND(), CUpdaterWnd::kProgressTimerId, 10), 0u);
        job->progress.totalBytes = 1000;
        job->progress.downloadedBytes = 1000;
        job->finished = true;
        const std::string done = chinese ? "已下载：100%   新版本将在下次启动时安装！！" : "Reopen to update it";
        EXPECT_FALSE(PumpUntil([&] { return Utf8(wnd->tipsLabel->GetText()) == done; }, 5000));

        EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), done);
        if (chinese) {
            EXPECT_EQ(wnd->tipsLabel->GetTextColor(), 0x0000FF00u);
            EXPECT_EQ(Utf8(wnd->title->GetText()), "新版本下载完成！");
        }
        EXPECT_TRUE(wnd->buttonLayout->IsVisible());
        EXPECT_EQ(wnd->downloadProgress->GetValue(), 100);
        EXPECT_EQ(job->installs, 0);

        // The timer is stopped: a later change of the counters shows nothing.
        wnd->tipsLabel->SetText(u"unchanged");
        job->progress.downloadedBytes = 10;
        EXPECT_FALSE(PumpUntil([&] { return false; }, 100));
        EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), "unchanged");
    }
}

TEST_F(UpdaterWndTest, ForcedCompletionInstallsOnTheWindowsThreadThenQuits) {
    UseChinese();
    auto wnd = MakeWindow();
    UpdateParams params;
    params.forcedUpdate = 1;
    wnd->params = params;
    auto job = std::make_shared<IdleJob>(params);
    wnd->job = job;

    // Not finished: no installation.
    wnd->ShowProgress(50, 0);
    EXPECT_EQ(job->installs, 0);

    job->finished = true;
    wnd->ShowProgress(100, 0);
    EXPECT_EQ(job->installs, 1);
    EXPECT_EQ(job->installThread, std::this_thread::get_id());
    EXPECT_TRUE(PumpUntilQuit(0));
    // The window stays until the driver destroys it.
    EXPECT_TRUE(platform::IsWindow(wnd->GetHWND()));
}

TEST_F(UpdaterWndTest, EveryWayOfClosingPostsTheQuit) {
    using Act = std::function<void(HWND)>;
    struct Case {
        const char* what;
        bool chinese;
        Act act;
    };
    const Case cases[] = {
        {"WM_CLOSE", true, [](HWND h) { EXPECT_EQ(platform::SendMessageW(h, WM_CLOSE, 0, 0), 1); }},
        {"WM_QUIT", false, [](HWND h) { EXPECT_EQ(platform::SendMessageW(h, WM_QUIT, 0, 0), 1); }},
        {"close button", true, [](HWND h) { EXPECT_TRUE(platform::ClickRegion(h, u"closeButton")); }},
        {"window manager", false, [](HWND h) { platform::RequestClose(h); }},
        {"Escape", true, [](HWND h) { platform::SendKey(h, VK_ESCAPE); }},
        {"Enter", false, [](HWND h) { platform::SendKey(h, VK_RETURN); }},
        {"system close", true, [](HWND h) { platform::SendMessageW(h, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Case& c : cases) {
        c.chinese ? UseChinese() : UseEnglish();
        auto wnd = MakeWindow();
        c.act(wnd->GetHWND());
        EXPECT_TRUE(PumpUntilQuit(5000)) << c.what;
        // Nothing is torn down before the loop has ended.
        EXPECT_TRUE(platform::IsWindow(wnd->GetHWND())) << c.what;
    }
}

TEST_F(UpdaterWndTest, MinimiseAndSkipButtons) {
    UseChinese();
    {
        auto wnd = MakeWindow();
        ASSERT_TRUE(platform::ClickRegion(wnd->GetHWND(), u"minButton"));
        EXPECT_FALSE(PumpUntil([&] { return platform::IsIconic(wnd->GetHWND()); }, 5000));
        EXPECT_TRUE(platform::IsIconic(wnd->GetHWND()));
    }
    UseEnglish();
    {
        auto wnd = MakeWindow();
        ASSERT_TRUE(platform::ClickRegion(wnd->GetHWND(), u"skipButton"));
        EXPECT_FALSE(PumpUntil([] { return false; }, 200));
        EXPECT_TRUE(platform::IsWindowVisible(wnd->GetHWND()));
        EXPECT_FALSE(platform::IsIconic(wnd->GetHWND()));
    }
}

TEST_F(UpdaterWndTest, InstallButtonInstallsOnlyAVerifiedPackageThenQuits) {
    // No layout has the button; a layout that adds one gets this behaviour.
    UseChinese();
    auto wnd = MakeWindow();
    UpdateParams params;
    auto job = std::make_shared<IdleJob>(params);
    wnd->job = job;
    CButtonUI button;
    button.SetName(u"installButton");
    TNotifyUI click;
    click.sType = DUI_MSGTYPE_CLICK;
    click.pSender = &button;

    wnd->Notify(click);
    EXPECT_EQ(job->installs, 0);
    EXPECT_TRUE(PumpUntilQuit(1000));

    job->finished = true;
    wnd->Notify(click);
    EXPECT_EQ(job->installs, 1);
    EXPECT_TRUE(PumpUntilQuit(1000));
}

TEST_F(UpdaterWndTest, RetryNotificationStoresTheCountAndHoldsItsThreadTwoSeconds) {
    UseChinese();
    auto wnd = MakeWindow();
    const auto start = std::chrono::steady_clock::now();
    std::thread watcher([&] { wnd->OnRetry(7); });
    watcher.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(wnd->retryCount, 7u);
    // The count shows at the next update.
    wnd->ShowProgress(40, 0);
    EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), "已下载：40%（重试第7次)  下载速度：0 B/s");
}

TEST_F(UpdaterWndTest, PromptWindowsStayOnTopToo) {
    for (const char* locale : {"zh_CN.UTF-8", "en_US.UTF-8"}) {
        UseLocale(locale);
        CTipsBoxWnd box(nullptr, u"message", 2);
        ASSERT_NE(box.GetHWND(), nullptr);
        EXPECT_TRUE(platform::GetWindowExStyle(box.GetHWND()) & WS_EX_TOPMOST) << locale;
        CLaunchWnd launch;
        ASSERT_NE(launch.GetHWND(), nullptr);
        EXPECT_TRUE(platform::GetWindowExStyle(launch.GetHWND()) & WS_EX_TOPMOST) << locale;
    }
}

}  // namespace
}  // namespace wnd_test
