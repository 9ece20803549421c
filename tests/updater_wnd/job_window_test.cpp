// The progress window with its job's threads: a real job served on
// loopback that completes, the failure prompt on a job thread (texts by
// network state and language, the download page, the end of the loop),
// a digest mismatch and a refused download reported by the job itself, and
// closing the window while a prompt or a retry pause is running on a job
// thread.
//
// Network state is real: each case runs in a network namespace of its own
// with or without a working link, when the machine can make one.
#include <sys/stat.h>

#include <future>
#include <memory>
#include <string>

#include "TipsBoxWnd.h"
#include "app/DownloadPage.h"
#include "child_process.h"
#include "fault_server.h"
#include "job_fixture.h"
#include "net_lab.h"
#include "platform/network.h"
#include "platform/text.h"
#include "platform/window/window.h"
#include "wnd_test_util.h"

namespace wnd_test {
namespace {

using namespace DuiLib;
using download_test::FaultServer;
using download_test::HttpRequest;

constexpr char16_t kPromptClass[] = u"zeb_updater_tips_wnd_class_name";

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

std::unique_ptr<CUpdaterWnd> MakeWindow() {
    auto wnd = std::make_unique<CUpdaterWnd>();
    EXPECT_NE(wnd->GetHWND(), nullptr) << wnd->GetLoadError();
    wnd->CenterWindow();
    wnd->ShowWindow(true, true);
    return wnd;
}

// The prompt object behind a prompt window (the window's user data).
CTipsBoxWnd* PromptOf(HWND hwnd) {
    return dynamic_cast<CTipsBoxWnd*>(static_cast<CWindowWnd*>(platform::GetWindowUserData(hwnd)));
}

bool WaitModal(HWND hwnd, int ms) {
    return tavlin_test::WaitUntil([hwnd] { return platform::IsModalRunning(hwnd); }, ms, 2);
}

size_t PromptCount() {
    size_t n = 0;
    for (HWND h : platform::EnumWindows())
        if (platform::GetClassNameW(h) == kPromptClass) ++n;
    return n;
}

bool Ready(std::future<void>& f, int ms) {
    return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

class JobWindowTest : public WndTest {
protected:
    // A namespace with a working link (connected) or loopback only. Without
    // namespaces, only the machine's own state can be tested.
    bool MakeLab(bool connected) {
        std::string why;
        lab = connected ? job_test::NetLab::CreateWithLink(&why) : job_test::NetLab::Create(&why);
        if (lab) return true;
        lab.reset();
        if (platform::IsNetworkAlive() == connected) return true;
        skipWhy = why;
        return false;
    }
    void InLab(const std::function<void()>& fn) const {
        if (lab)
            lab->Run(fn);
        else
            fn();
    }
    void TearDown() override {
        lab.reset();
        WndTest::TearDown();
    }

    tavlin_test::TempDir dir{"tavlin-wnd-job-"};
    std::unique_ptr<job_test::NetLab> lab;
    std::string skipWhy;
};

TEST_F(JobWindowTest, RealJobCompletesAndTheWindowWaitsForTheUser) {
    if (!MakeLab(true)) GTEST_SKIP() << skipWhy;
    UseChinese();
    const std::string bytes = job_test::PackageBytes(300000);
    const std::string work = dir / "work";
    ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);

    InLab([&] {
        FaultServer server([&](const HttpRequest& r) { return download_test::ServeFile(r, bytes); });
        auto wnd = MakeWindow();
        wnd->prepareJob = [&](ZipDownloader& job) { job.workDir = work + "/"; };
        UpdateParams params;
        params.zipUrl = server.Url("/update.zip");
        params.zipMd5 = job_test::Md5Hex(bytes);
        params.newVersion = "9.0.0";
        ASSERT_TRUE(wnd->StartJob(params));

        const std::string done = "已下载：100%   新版本将在下次启动时安装！！";
        const bool quit = PumpUntil([&] { return Utf8(wnd->tipsLabel->GetText()) == done; }, 60000);
        EXPECT_FALSE(quit);
        EXPECT_EQ(Utf8(wnd->tipsLabel->GetText()), done);
        EXPECT_EQ(wnd->tipsLabel->GetTextColor(), 0x0000FF00u);
        EXPECT_EQ(Utf8(wnd->title->GetText()), "新版本下载完成！");
        EXPECT_TRUE(wnd->buttonLayout->IsVisible());
        EXPECT_EQ(wnd->downloadProgress->GetValue(), 100);
        EXPECT_EQ(tavlin_test::ReadFileText(work + "/update.zip"), bytes);
        // The window waits for the user: no quit comes on its own.
        EXPECT_FALSE(PumpUntil([] { return false; }, 1500));
        EXPECT_EQ(PromptCount(), 0u);
    });
}

TEST_F(JobWindowTest, FailurePromptByNetworkStateOpensThePageOnConfirmThenEndsTheLoop) {
    struct Case {
        const char* locale;
        bool connected;
        bool confirm;  // else Escape
        const char* text;
        const char* caption;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", true, true, "升级出问题了,请下载完整安装包~", "前往下载"},
        {"en_US.UTF-8", true, true, "Problems occured. Please visit our website~", "Go Downloading Page"},
        {"en_US.UTF-8", true, false, "Problems occured. Please visit our website~", "Go Downloading Page"},
        // The page is offered even when the button reads "关闭".
        {"zh_CN.UTF-8", false, true, "网络已断开，请检查网络环境后重试~", "关闭"},
        {"en_US.UTF-8", false, false,
         "The network has been disconnected. Please check the network environment and try again.", "Close"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + (c.connected ? " connected" : " disconnected") +
                     (c.confirm ? " confirm" : " escape"));
        if (!MakeLab(c.connected)) {
            std::printf("skipped: %s\n", skipWhy.c_str());
            continue;
        }
        UseLocale(c.locale);
        tavlin_test::TempDir caseDir{"tavlin-wnd-page-"};
        FakeBrowser browser(caseDir);
        InLab([&] {
            auto wnd = MakeWindow();
            auto failing = std::async(std::launch::async, [&] { wnd->OnJobFailed(); });
            auto answering = std::async(std::launch::async, [&] {
                HWND prompt = platform::WaitForWindow(kPromptClass, u"", 10000);
                ASSERT_NE(prompt, nullptr);
                // The caption is set after creation, before the modal loop.
                ASSERT_TRUE(WaitModal(prompt, 10000));
                CTipsBoxWnd* box = PromptOf(prompt);
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(box->mode, 2);
                EXPECT_EQ(Utf8(box->tipsLabel->GetText()), c.text);
                EXPECT_EQ(Utf8(box->confirmButton->GetText()), c.caption);
                EXPECT_EQ(platform::GetWindowOwner(prompt), nullptr);
                EXPECT_TRUE(platform::GetWindowExStyle(prompt) & WS_EX_TOPMOST);
                if (c.confirm)
                    EXPECT_TRUE(platform::ClickRegion(prompt, u"confirmButton"));
                else
                    EXPECT_TRUE(platform::SendKey(prompt, VK_ESCAPE));
            });
            // The handler asks the window's own thread to end the loop.
            EXPECT_TRUE(PumpUntilQuit(20000));
            EXPECT_TRUE(Ready(failing, 10000));
            EXPECT_TRUE(Ready(answering, 10000));
            EXPECT_EQ(PromptCount(), 0u);
        });
        if (c.confirm) {
            EXPECT_TRUE(browser.WaitOpened(10000));
            EXPECT_EQ(browser.Opened(), std::string(zeb::DownloadPageUrl()) + "\n");
        } else {
            // The page is opened before the window is told to quit, so by
            // now a wrong start would have had time to show.
            EXPECT_FALSE(browser.WaitOpened(500));
        }
        lab.reset();
    }
}

TEST_F(JobWindowTest, DigestMismatchFromARealJobShowsThePrompt) {
    if (!MakeLab(true)) GTEST_SKIP() << skipWhy;
    UseEnglish();
    const std::string bytes = job_test::PackageBytes(50000);
    const std::string work = dir / "work";
    ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
    FakeBrowser browser(dir);

    InLab([&] {
        FaultServer server([&](const HttpRequest& r) { return download_test::ServeFile(r, bytes); });
        auto wnd = MakeWindow();
        wnd->prepareJob = [&](ZipDownloader& job) { job.workDir = work + "/"; };
        UpdateParams params;
        params.zipUrl = server.Url("/update.zip");
        params.zipMd5 = "00000000000000000000000000000000";
        ASSERT_TRUE(wnd->StartJob(params));

        auto answering = std::async(std::launch::async, [&] {
            HWND prompt = platform::WaitForWindow(kPromptClass, u"", 30000);
            ASSERT_NE(prompt, nullptr);
            ASSERT_TRUE(WaitModal(prompt, 10000));
            EXPECT_EQ(Utf8(PromptOf(prompt)->tipsLabel->GetText()), "Problems occured. Please visit our website~");
            EXPECT_TRUE(platform::ClickRegion(prompt, u"confirmButton"));
        });
        // The window keeps ticking while the prompt is up, then quits.
        EXPECT_TRUE(PumpUntilQuit(40000));
        EXPECT_TRUE(Ready(answering, 10000));
        EXPECT_FALSE(wnd->job->finished);
        EXPECT_FALSE(tavlin_test::FileExists(work + "/update.zip"));
        wnd.reset();
    });
    EXPECT_TRUE(browser.WaitOpened(10000));
}

// A server that refuses the package for good: the job reports its stopped
// engine, and the window shows the prompt for a failed download (not the
// network one) and ends its loop once it is answered.
TEST_F(JobWindowTest, RefusedDownloadFromARealJobShowsThePrompt) {
    if (!MakeLab(true)) GTEST_SKIP() << skipWhy;
    UseChinese();
    const std::string work = dir / "work";
    ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
    FakeBrowser browser(dir);

    InLab([&] {
        FaultServer server([](const HttpRequest&) { return download_test::Status(404); });
        auto wnd = MakeWindow();
        wnd->prepareJob = [&](ZipDownloader& job) { job.workDir = work + "/"; };
        UpdateParams params;
        params.zipUrl = server.Url("/update.zip");
        params.zipMd5 = "0123456789abcdef0123456789abcdef";
        ASSERT_TRUE(wnd->StartJob(params));

        auto answering = std::async(std::launch::async, [&] {
            HWND prompt = platform::WaitForWindow(kPromptClass, u"", 30000);
            ASSERT_NE(prompt, nullptr);
            ASSERT_TRUE(WaitModal(prompt, 10000));
            EXPECT_EQ(Utf8(PromptOf(prompt)->tipsLabel->GetText()), "升级出问题了,请下载完整安装包~");
            EXPECT_TRUE(platform::SendKey(prompt, VK_ESCAPE));
        });
        EXPECT_TRUE(PumpUntilQuit(40000));
        EXPECT_TRUE(Ready(answering, 10000));
        EXPECT_EQ(PromptCount(), 0u);
        EXPECT_FALSE(wnd->job->finished);
        wnd.reset();
    });
    EXPECT_FALSE(browser.WaitOpened(300));
}

// A job that cannot reach its server, so that only the callbacks the test
// calls itself happen.
void StartQuietJob(CUpdaterWnd& wnd, const std::string& work) {
    wnd.prepareJob = [work](ZipDownloader& job) { job.workDir = work + "/"; };
    UpdateParams params;
    params.zipUrl = "http://127.0.0.1:1/update.zip";
    params.zipMd5 = "0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(wnd.StartJob(params));
}

TEST_F(JobWindowTest, ClosingWhileThePromptAndARetryPauseRunEndsBoth) {
    if (!MakeLab(true)) GTEST_SKIP() << skipWhy;
    UseChinese();
    FakeBrowser browser(dir);
    InLab([&] {
        auto wnd = MakeWindow();
        StartQuietJob(*wnd, dir.path());
        const std::function<void()> onFailure = wnd->job->onFailure;
        const std::function<void(uint32_t)> onRetry = wnd->job->onRetry;

        auto failing = std::async(std::launch::async, onFailure);
        HWND prompt = platform::WaitForWindow(kPromptClass, u"", 10000);
        ASSERT_NE(prompt, nullptr);
        ASSERT_TRUE(WaitModal(prompt, 10000));

        // A second failure while the first prompt is up shows no second one.
        auto second = std::async(std::launch::async, onFailure);
        EXPECT_TRUE(Ready(second, 10000));
        EXPECT_EQ(PromptCount(), 1u);

        auto retrying = std::async(std::launch::async, onRetry, 4u);
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return wnd->retryCount == 4u; }, 10000, 2));

        // The driver destroys the window after its loop ended; this thread
        // does not pump meanwhile.
        wnd.reset();
        EXPECT_TRUE(Ready(failing, 10000));
        EXPECT_TRUE(Ready(retrying, 10000));
        EXPECT_FALSE(platform::IsWindow(prompt));

        // A notification that comes after the window is gone does nothing.
        onFailure();
        onRetry(1);
        EXPECT_EQ(PromptCount(), 0u);
    });
    // The prompt was not answered: no page.
    EXPECT_FALSE(browser.WaitOpened(300));
}

TEST_F(JobWindowTest, PromptAnsweredJustBeforeTheWindowIsDestroyed) {
    if (!MakeLab(true)) GTEST_SKIP() << skipWhy;
    UseEnglish();
    FakeBrowser browser(dir);
    InLab([&] {
        auto wnd = MakeWindow();
        StartQuietJob(*wnd, dir.path());
        auto failing = std::async(std::launch::async, wnd->job->onFailure);
        HWND prompt = platform::WaitForWindow(kPromptClass, u"", 10000);
        ASSERT_NE(prompt, nullptr);
        ASSERT_TRUE(WaitModal(prompt, 10000));
        ASSERT_TRUE(platform::ClickRegion(prompt, u"confirmButton"));
        // The handler now opens the page and then waits on this thread,
        // which is about to destroy the window instead of pumping.
        EXPECT_TRUE(browser.WaitOpened(10000));
        wnd.reset();
        EXPECT_TRUE(Ready(failing, 10000));
    });
}

}  // namespace
}  // namespace wnd_test
