// The updater's windows on a real X server (a private Xvfb), driven with
// xdotool: the forced-update notice over the client's window, its text by
// language, the progress window, and a second updater while one runs. The
// stand-in client runs too, so these tests run in PID namespaces of their
// own (the updater stops every "tavlin.exe" it can see).
#include <chrono>
#include <set>
#include <thread>

#include "driver_fixture.h"
#include "xvfb.h"

// Last: Xlib's macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace tavlin_driver_test {
namespace {

constexpr char kNoticeTitle[] = "vostrapanel提示";
constexpr char kProgressTitleEnglish[] = "Update Program";
constexpr char kNoticeChinese[] = "您的客户端版本太低，将更新至最新版本!";
constexpr char kNoticeEnglish[] = "Your client version is too low. We will update it to the latest version!";

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned long> pixels;
    friend bool operator==(const Image&, const Image&) = default;
};

class X11UpdaterTest : public UpdaterTest {
protected:
    void SetUp() override {
        if (!tavlin_test::HaveXvfbAndXdotool()) GTEST_SKIP() << "Xvfb or xdotool missing";
        UpdaterTest::SetUp();
        ASSERT_TRUE(xvfb_.Start()) << xvfb_.error();
        env_.Set("DISPLAY", xvfb_.display());
        dpy_ = XOpenDisplay(xvfb_.display().c_str());
        ASSERT_NE(dpy_, nullptr);
    }

    void TearDown() override {
        if (dpy_) XCloseDisplay(dpy_);
        UpdaterTest::TearDown();
    }

    // The first visible window whose class is exactly `cls`; empty when none
    // appeared in time.
    std::string FindByClass(const std::string& cls) {
        RunResult r = tavlin_test::Run({"timeout", std::to_string(kWindowTimeoutSec), "xdotool", "search", "--sync",
                                        "--onlyvisible", "--class", "^" + cls + "$"},
                                       env_, (kWindowTimeoutSec + 5) * 1000);
        return r.finished && r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
    }

    // Whether a visible window of that name exists now (no waiting).
    bool WindowShown(const std::string& name) {
        RunResult r = tavlin_test::Run({"xdotool", "search", "--onlyvisible", "--name", "^" + name + "$"}, env_, 10000);
        return r.finished && r.exitCode == 0 && !r.out.empty();
    }

    Geometry WindowGeometry(const std::string& id) {
        Geometry g;
        XWindowAttributes attrs;
        Window child;
        const Window win = std::stoul(id);
        if (XGetWindowAttributes(dpy_, win, &attrs) &&
            XTranslateCoordinates(dpy_, win, DefaultRootWindow(dpy_), 0, 0, &g.x, &g.y, &child)) {
            g.width = attrs.width;
            g.height = attrs.height;
        }
        return g;
    }

    // What the server shows of the window once its drawing has settled (two
    // equal grabs of a window that shows more than a plain fill).
    Image Capture(const std::string& id) {
        const Window win = std::stoul(id);
        Image last;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            Image now = Grab(win);
            std::set<unsigned long> colours(now.pixels.begin(), now.pixels.end());
            if (colours.size() >= 10 && now == last) return now;
            last = std::move(now);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "window " << id << " never showed a settled picture";
        return last;
    }

    // The prompt box as the stand-alone prompt program draws it with `text`
    // in the current language: the reference for the notice's picture.
    Image PromptPicture(const std::string& text) {
        tavlin_test::SpawnOptions o;
        o.argv = {TAVLIN_PROMPT, text, "0"};
        o.env = env_;
        ChildProcess prompt;
        EXPECT_TRUE(prompt.Start(o)) << prompt.error();
        std::string id = tavlin_test::FindWindowByName(env_, kNoticeTitle, kWindowTimeoutSec);
        if (id.empty()) {
            ADD_FAILURE() << "the prompt program showed no box: " << prompt.Stderr();
            return {};
        }
        Image picture = Capture(id);
        tavlin_test::PressKey(env_, id, "Escape");
        EXPECT_TRUE(prompt.Wait(kProcessTimeoutMs));
        return picture;
    }

    tavlin_test::XvfbServer xvfb_;
    Display* dpy_ = nullptr;

private:
    Image Grab(Window win) {
        Image img;
        XWindowAttributes attrs;
        if (!XGetWindowAttributes(dpy_, win, &attrs)) return img;
        XImage* x = XGetImage(dpy_, win, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap);
        if (!x) return img;
        img.width = attrs.width;
        img.height = attrs.height;
        for (int y = 0; y < attrs.height; ++y)
            for (int px = 0; px < attrs.width; ++px) img.pixels.push_back(XGetPixel(x, px, y) & 0xFFFFFF);
        XDestroyImage(x);
        return img;
    }
};

TEST_F(X11UpdaterTest, ForcedNoticeStandsOverTheClientWindowThenTheClientIsStopped) {
    SetLanguage("zh_CN.UTF-8");
    ChildProcess client = StartInstalled("tavlin.exe");
    ChildProcess companion = StartInstalled("qelclient.exe");
    const std::string clientWindow = FindByClass("vostrapanel");
    ASSERT_FALSE(clientWindow.empty()) << "the stand-in client showed no window";

    ChildProcess updater = StartUpdater({"-forcedupdate=1"});
    const std::string notice = tavlin_test::FindWindowByName(env_, kNoticeTitle, kWindowTimeoutSec);
    ASSERT_FALSE(notice.empty()) << updater.Stderr();

    Window owner = 0;
    ASSERT_TRUE(XGetTransientForHint(dpy_, std::stoul(notice), &owner)) << "the notice has no owner";
    EXPECT_EQ(owner, std::stoul(clientWindow));
    // Centred on the client's window, not on the screen.
    const Geometry n = WindowGeometry(notice), c = WindowGeometry(clientWindow);
    EXPECT_NEAR(n.x + n.width / 2, c.x + c.width / 2, 1);
    EXPECT_NEAR(n.y + n.height / 2, c.y + c.height / 2, 1);
    EXPECT_TRUE(client.Alive()) << "the client was stopped before the user answered";

    ASSERT_TRUE(tavlin_test::PressKey(env_, notice, "Return"));
    // No job on the command line: no progress window waits for the user, the
    // run ends by itself.
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end after the notice";
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    ASSERT_TRUE(client.Wait(10000)) << "the client still runs";
    EXPECT_TRUE(client.signalled());
    ASSERT_TRUE(companion.Wait(10000)) << "qelclient.exe still runs";
    EXPECT_TRUE(companion.signalled());
}

// A window manager puts the client's window into a frame of its own: the
// notice still finds it below the frame. Built here with plain X calls.
TEST_F(X11UpdaterTest, ClientWindowInsideAWindowManagerFrameOwnsTheNotice) {
    const Window root = DefaultRootWindow(dpy_);
    const Window frame = XCreateSimpleWindow(dpy_, root, 300, 200, 420, 330, 0, 0, 0);
    const Window decoration = XCreateSimpleWindow(dpy_, frame, 0, 0, 420, 330, 0, 0, 0);
    const Window clientWindow = XCreateSimpleWindow(dpy_, decoration, 10, 30, 400, 300, 0, 0, 0xFFFFFF);
    std::string cls = "vostrapanel";
    XClassHint hint{cls.data(), cls.data()};
    XSetClassHint(dpy_, clientWindow, &hint);
    XMapWindow(dpy_, clientWindow);
    XMapWindow(dpy_, decoration);
    XMapWindow(dpy_, frame);
    XSync(dpy_, False);

    ChildProcess updater = StartUpdater({"-forcedupdate=1"});
    const std::string notice = tavlin_test::FindWindowByName(env_, kNoticeTitle, kWindowTimeoutSec);
    ASSERT_FALSE(notice.empty()) << updater.Stderr();
    Window owner = 0;
    ASSERT_TRUE(XGetTransientForHint(dpy_, std::stoul(notice), &owner));
    EXPECT_EQ(owner, clientWindow);
    const Geometry n = WindowGeometry(notice);
    EXPECT_NEAR(n.x + n.width / 2, 300 + 10 + 200, 1);
    EXPECT_NEAR(n.y + n.height / 2, 200 + 30 + 150, 1);
    ASSERT_TRUE(tavlin_test::PressKey(env_, notice, "Return"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
}

// Only 2052 selects Chinese; the box is the same prompt box the other
// callers use, so its picture must equal the prompt program's with the
// expected text and differ from the one with the other text. No client runs:
// the notice has no owner.
TEST_F(X11UpdaterTest, NoticeTextFollowsTheInterfaceLanguage) {
    struct Case {
        const char* lang;
        const char* expected;
        const char* other;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", kNoticeChinese, kNoticeEnglish},
        {"zh_TW.UTF-8", kNoticeEnglish, kNoticeChinese},
        {"en_US.UTF-8", kNoticeEnglish, kNoticeChinese},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lang);
        SetLanguage(c.lang);
        ChildProcess updater = StartUpdater({"-forcedupdate=1"});
        const std::string notice = tavlin_test::FindWindowByName(env_, kNoticeTitle, kWindowTimeoutSec);
        ASSERT_FALSE(notice.empty()) << updater.Stderr();
        Window owner = 0;
        EXPECT_FALSE(XGetTransientForHint(dpy_, std::stoul(notice), &owner)) << "an owner without a client";
        const Image shown = Capture(notice);
        ASSERT_TRUE(tavlin_test::PressKey(env_, notice, "Return"));
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();

        EXPECT_TRUE(shown == PromptPicture(c.expected)) << "the notice does not show the expected text";
        EXPECT_FALSE(shown == PromptPicture(c.other)) << "the pictures cannot tell the texts apart";
    }
}

// A job on the command line without forcedupdate=1: no notice stands in the
// way, the progress window opens and closes with Escape. The ordinary job
// leaves the client alone; a forced job (2) stops it from its own thread.
TEST_F(X11UpdaterTest, ProgressWindowOpensWithoutANotice) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool clientStopped;
    };
    const Case cases[] = {
        {"ordinary", {"-url=x"}, false},
        {"forced mode 2", {"-forcedupdate=2", "-url=x"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChildProcess client = StartInstalled("tavlin.exe");
        ASSERT_FALSE(FindByClass("vostrapanel").empty());
        ChildProcess updater = StartUpdater(c.args);
        const std::string window = tavlin_test::FindWindowByName(env_, kProgressTitleEnglish, kWindowTimeoutSec);
        ASSERT_FALSE(window.empty()) << updater.Stderr();
        if (c.clientStopped) {
            EXPECT_TRUE(client.Wait(10000)) << "the forced job did not stop the client";
        } else {
            // The window has been up for a while: the job had its chance.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            EXPECT_TRUE(client.Alive()) << "the client was stopped";
        }
        ASSERT_TRUE(tavlin_test::PressKey(env_, window, "Escape"));
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "Escape did not end the updater";
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
        EXPECT_FALSE(WindowShown(kProgressTitleEnglish));
        client.Kill();
        client.Wait(10000);
    }
}

TEST_F(X11UpdaterTest, SecondUpdaterEndsAtOnceWhileTheFirstShowsItsWindow) {
    ChildProcess first = StartUpdater({"-url=x"});
    const std::string window = tavlin_test::FindWindowByName(env_, kProgressTitleEnglish, kWindowTimeoutSec);
    ASSERT_FALSE(window.empty()) << first.Stderr();

    RunResult second = RunUpdater({"-url=y"});
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, kRefused);
    EXPECT_TRUE(first.Alive());

    ASSERT_TRUE(tavlin_test::PressKey(env_, window, "Escape"));
    ASSERT_TRUE(first.Wait(kProcessTimeoutMs));
    EXPECT_EQ(first.exitCode(), 0) << first.Stderr();
}

// Without a display no window can be shown: the run ends with -1 and says
// why, and the client the user was never warned about keeps running.
TEST_F(UpdaterTest, WithoutADisplayNothingIsStoppedAndTheRunFails) {
    ChildProcess client = StartInstalled("tavlin.exe");
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return tavlin_test::FileExists(Installed("tavlin.calls")); }, 10000));
    for (const char* arg : {"-forcedupdate=1", "-url=x"}) {
        RunResult run = RunUpdater({arg});
        ASSERT_TRUE(run.finished) << arg;
        EXPECT_EQ(run.exitCode, kRefused) << arg;
        EXPECT_NE(run.err.find("could not be created"), std::string::npos) << arg << ": " << run.err;
        EXPECT_TRUE(client.Alive()) << arg;
    }
}

}  // namespace
}  // namespace tavlin_driver_test
