// The prompt box program on a real X server (a private Xvfb), answered with
// xdotool as a user would: keys, clicks, and what the server shows of it.
#include <chrono>
#include <set>
#include <thread>

#include "child_process.h"
#include "xvfb.h"
#include "ui_test_util.h"

// Last: Xlib's macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace tavlin_ui_test {
namespace {

using tavlin_test::ChildProcess;
using tavlin_test::Environment;

class X11PromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tavlin_test::HaveXvfbAndXdotool()) GTEST_SKIP() << "Xvfb or xdotool missing";
        ASSERT_TRUE(xvfb_.Start()) << xvfb_.error();
        env_ = Environment::Inherit();
        env_.Unset("TAVLIN_OFFSCREEN");
        env_.Unset("LC_ALL");
        env_.Unset("LC_MESSAGES");
        env_.Set("LANG", "zh_CN.UTF-8");
        env_.Set("DISPLAY", xvfb_.display());
    }

    // Starts the prompt program and waits for its window to be mapped.
    std::string ShowPrompt(ChildProcess& prompt) {
        tavlin_test::SpawnOptions o;
        o.argv = {TAVLIN_PROMPT, "网络已断开，请检查网络环境后重试~", "1"};
        o.env = env_;
        EXPECT_TRUE(prompt.Start(o)) << prompt.error();
        // This prompt's window: the server may still show the last one's
        // for a moment after its program ended.
        tavlin_test::RunResult r =
            tavlin_test::Run({"timeout", "10", "xdotool", "search", "--sync", "--all", "--onlyvisible", "--pid",
                              std::to_string(prompt.pid()), "--name", "^vostrapanel提示$"},
                             env_, 15000);
        return r.finished && r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
    }

public:
    tavlin_test::RunResult Xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        return tavlin_test::Run(args, env_, 10000);
    }

    tavlin_test::XvfbServer xvfb_;
    Environment env_;
};

TEST_F(X11PromptTest, AnsweredWithKeysAndClicks) {
    struct Case {
        const char* what;
        std::function<void(X11PromptTest&, const std::string& id)> act;
        int expected;
    };
    auto click = [](int x, int y) {
        return [x, y](X11PromptTest& t, const std::string& id) {
            t.Xdotool({"mousemove", "--sync", "--window", id, std::to_string(x), std::to_string(y)});
            t.Xdotool({"click", "1"});
        };
    };
    auto key = [](const char* name) {
        return [name](X11PromptTest& t, const std::string& id) { tavlin_test::PressKey(t.env_, id, name); };
    };
    const Case cases[] = {
        {"Return", key("Return"), 1},
        {"Escape", key("Escape"), 2},
        {"confirm button", click(260, 81), 1},
        {"cancel button", click(180, 81), 2},
        {"close button", click(297, 15), 2},
    };
    for (const Case& c : cases) {
        ChildProcess prompt;
        std::string id = ShowPrompt(prompt);
        ASSERT_FALSE(id.empty()) << c.what << ": no prompt window mapped; " << prompt.Stderr();
        c.act(*this, id);
        ASSERT_TRUE(prompt.Wait(10000)) << c.what << ": the prompt did not answer";
        EXPECT_EQ(prompt.exitCode(), c.expected) << c.what;
        EXPECT_EQ(prompt.Stdout(), "result=" + std::to_string(c.expected) + "\n") << c.what;
    }
}

// What the X server holds for the window: the blue title bar, the body and
// the text, not a blank rectangle.
TEST_F(X11PromptTest, ScreenshotOfTheMappedBoxIsNotBlank) {
    ChildProcess prompt;
    std::string id = ShowPrompt(prompt);
    ASSERT_FALSE(id.empty()) << prompt.Stderr();
    Display* dpy = XOpenDisplay(xvfb_.display().c_str());
    ASSERT_NE(dpy, nullptr);
    const Window win = std::stoul(id);
    std::set<unsigned long> colours;
    bool blueTitle = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // The first frame may arrive a moment after the map.
    while (colours.size() < 10 && std::chrono::steady_clock::now() < deadline) {
        XWindowAttributes attrs;
        ASSERT_TRUE(XGetWindowAttributes(dpy, win, &attrs));
        EXPECT_EQ(attrs.width, 310);
        EXPECT_EQ(attrs.height, 100);
        XImage* img = XGetImage(dpy, win, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap);
        ASSERT_NE(img, nullptr);
        colours.clear();
        for (int y = 0; y < attrs.height; y += 2)
            for (int x = 0; x < attrs.width; x += 2) colours.insert(XGetPixel(img, x, y) & 0xFFFFFF);
        blueTitle = (XGetPixel(img, 150, 2) & 0xFFFFFF) == 0x1694FF;
        XDestroyImage(img);
        if (colours.size() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    XCloseDisplay(dpy);
    EXPECT_GE(colours.size(), 10u) << "the window shows next to nothing";
    EXPECT_TRUE(blueTitle);
    tavlin_test::PressKey(env_, id, "Escape");
    ASSERT_TRUE(prompt.Wait(10000));
    EXPECT_EQ(prompt.exitCode(), 2);
}

}  // namespace
}  // namespace tavlin_ui_test
