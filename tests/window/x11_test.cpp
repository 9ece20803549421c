// The real X11 path under a private Xvfb, driven with xdotool: the message
// box program answered by keys, clicks and close requests, and a box on a
// second thread while the first thread's window keeps ticking.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <unistd.h>

#include "child_process.h"
#include "platform/window/automation.h"
#include "platform/window/message_box.h"
#include "xvfb.h"
#include "window_test_util.h"
#include "x11_close.h"

namespace tavlin_window_test {
namespace {

using tavlin_test::ChildProcess;
using tavlin_test::Environment;
using tavlin_test::RunResult;

Environment EnglishEnv() {
    Environment env = Environment::Inherit();
    env.Unset("TAVLIN_OFFSCREEN");
    env.Unset("LC_ALL");
    env.Unset("LC_MESSAGES");
    env.Set("LANG", "en_US.UTF-8");
    return env;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::map<std::string, std::string> ShellVars(const std::string& text) {
    std::map<std::string, std::string> vars;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
    return vars;
}

class X11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tavlin_test::HaveXvfbAndXdotool()) GTEST_SKIP() << "Xvfb or xdotool missing";
        ASSERT_TRUE(xvfb_.Start()) << xvfb_.error();
        env_ = EnglishEnv();
        env_.Set("DISPLAY", xvfb_.display());
    }

public:
    RunResult Xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        return tavlin_test::Run(args, env_, 10000);
    }

    // The visible window titled "Prompt" of process pid; empty when none
    // came within 10 s.
    std::string FindBoxOf(pid_t pid) {
        RunResult r = tavlin_test::Run({"timeout", "10", "xdotool", "search", "--sync", "--all", "--onlyvisible",
                                        "--pid", std::to_string(pid), "--name", "^Prompt$"},
                                       env_, 15000);
        return r.finished && r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
    }

    tavlin_test::XvfbServer xvfb_;
    Environment env_;
};

struct Geometry {
    int width = 0, height = 0;
};

TEST_F(X11Test, MessageBoxProgramAnsweredThroughTheXServer) {
    struct Case {
        const char* name;
        std::function<void(X11Test&, const std::string& id, const Geometry& g)> act;
        const char* expected;
    };
    // The buttons sit at the right of the bottom band: Cancel last, 88 x 28,
    // 22 pixels from the right edge; OK 10 pixels left of it.
    auto clickAt = [](int fromRight) {
        return [fromRight](X11Test& t, const std::string& id, const Geometry& g) {
            t.Xdotool({"mousemove", "--window", id, std::to_string(g.width - fromRight),
                       std::to_string(g.height - 25), "click", "1"});
        };
    };
    const Case cases[] = {
        // Typed to whatever has the focus: the box must have taken it.
        {"key Return", [](X11Test& t, const std::string&, const Geometry&) { t.Xdotool({"key", "Return"}); }, "1"},
        {"key Escape", [](X11Test& t, const std::string&, const Geometry&) { t.Xdotool({"key", "Escape"}); }, "2"},
        // With the focus on the box, xdotool presses through XTEST but sends
        // the release to the (by then destroyed) window and dies of the
        // error, leaving Return held: release it, or the server's key
        // repeat answers the next box.
        {"key --window Return",
         [](X11Test& t, const std::string& id, const Geometry&) {
             t.Xdotool({"key", "--window", id, "Return"});
             t.Xdotool({"keyup", "Return"});
         },
         "1"},
        {"click Cancel", clickAt(22 + 44), "2"},
        {"click OK", clickAt(22 + 88 + 10 + 44), "1"},
        {"close request",
         [](X11Test& t, const std::string& id, const Geometry&) {
             EXPECT_TRUE(SendDeleteWindow(t.xvfb_.display(), std::stoul(id)));
         },
         "2"},
        {"window destroyed",
         [](X11Test& t, const std::string& id, const Geometry&) { t.Xdotool({"windowclose", id}); }, "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess box;
        tavlin_test::SpawnOptions opts;
        opts.argv = {TAVLIN_MSGBOX, "Another program is already in progress, start new one?", "Prompt"};
        opts.env = env_;
        ASSERT_TRUE(box.Start(opts)) << box.error();
        // This box's window, not the last one's: the server may not have
        // taken down the windows of a client that has just ended.
        std::string id = FindBoxOf(box.pid());
        ASSERT_FALSE(id.empty()) << box.Stderr();

        auto geo = ShellVars(Xdotool({"getwindowgeometry", "--shell", id}).out);
        Geometry g{std::atoi(geo["WIDTH"].c_str()), std::atoi(geo["HEIGHT"].c_str())};
        EXPECT_GT(g.width, 200);
        EXPECT_GT(g.height, 80);
        EXPECT_EQ(Trim(Xdotool({"getwindowname", id}).out), "Prompt");
        if (!tavlin_test::FindProgram("xprop").empty()) {
            EXPECT_NE(tavlin_test::Run({"xprop", "-id", id, "_NET_WM_WINDOW_TYPE"}, env_, 10000).out.find("DIALOG"),
                      std::string::npos);
        }
        // Focus arrives with the map; allow the server a moment.
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return Trim(Xdotool({"getwindowfocus"}).out) == id; }, 5000, 50));

        c.act(*this, id, g);
        ASSERT_TRUE(box.Wait(10000)) << "no answer";
        EXPECT_EQ(Trim(box.Stdout()), c.expected) << box.Stderr();
        EXPECT_EQ(box.exitCode(), 0);
    }
}

TEST_F(X11Test, BoxOnASecondThreadWhileTheFirstThreadsWindowKeepsTicking) {
    setenv("DISPLAY", xvfb_.display().c_str(), 1);
    SetOffscreenMode(false);
    // The "first" thread is a thread of its own, so that its display
    // connection is closed before the server goes at the end of the test.
    std::thread first([this] {
        std::atomic<int> ticks{0};
        Handler h = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
            if (msg == WM_TIMER) ++ticks;
            return std::nullopt;
        };
        Hwnd main = MakeWindow(&h, u"Update Program", nullptr, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(SetTimer(main, 1121, 20));

        auto answer = std::async(std::launch::async, [] {
            return MessageBoxW(nullptr, u"The network has been disconnected.", u"vostrapanel提示", MB_OKCANCEL);
        });
        auto found = std::async(std::launch::async, [&] { return tavlin_test::FindWindowByName(env_, "vostrapanel提示"); });
        auto ready = [](auto& f) { return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; };
        ASSERT_TRUE(PumpUntil([&] { return ready(found); }, 15000));
        std::string id = found.get();
        ASSERT_FALSE(id.empty());
        int before = ticks;
        ASSERT_TRUE(PumpUntil([&] { return ticks >= before + 3; }));
        auto key = std::async(std::launch::async, [&] { return Xdotool({"key", "--window", id, "Return"}); });
        ASSERT_TRUE(PumpUntil([&] { return ready(answer); }, 10000));
        EXPECT_EQ(answer.get(), IDOK);
        key.wait();
        Xdotool({"keyup", "Return"});
        DestroyWindow(main);
    });
    first.join();
}

TEST_F(X11Test, WindowStylesBecomeXProperties) {
    if (tavlin_test::FindProgram("xprop").empty() || tavlin_test::FindProgram("xwininfo").empty())
        GTEST_SKIP() << "x11-utils missing";
    setenv("DISPLAY", xvfb_.display().c_str(), 1);
    SetOffscreenMode(false);
    std::thread ui([this] {
        Handler h;
        CreateWindowParams p;
        p.className = u"zeb_updater_wnd_class_name";
        p.title = u"升级程序";
        p.proc = HandlerProc;
        p.userData = &h;
        p.style = WS_POPUP | WS_VISIBLE;  // no caption: undecorated
        p.exStyle = WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_TOOLWINDOW;
        p.width = 442;
        p.height = 433;
        Hwnd w = CreateWindowW(p);
        ASSERT_NE(w, nullptr);
        auto found = std::async(std::launch::async, [&] { return tavlin_test::FindWindowByName(env_, "升级程序"); });
        auto ready = [](auto& f) { return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; };
        ASSERT_TRUE(PumpUntil([&] { return ready(found); }, 15000));
        std::string id = found.get();
        ASSERT_FALSE(id.empty());

        std::string props = tavlin_test::Run({"xprop", "-id", id}, env_, 10000).out;
        EXPECT_NE(props.find("WM_CLASS(STRING) = \"zeb_updater_wnd_class_name\""), std::string::npos) << props;
        EXPECT_NE(props.find("_NET_WM_STATE_ABOVE"), std::string::npos) << props;
        EXPECT_NE(props.find("_NET_WM_STATE_SKIP_TASKBAR"), std::string::npos) << props;
        EXPECT_NE(props.find("_MOTIF_WM_HINTS"), std::string::npos) << props;
        EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos) << props;
        // A layered window gets a visual with alpha.
        std::string info = tavlin_test::Run({"xwininfo", "-id", id}, env_, 10000).out;
        EXPECT_NE(info.find("Depth: 32"), std::string::npos) << info;
        EXPECT_NE(info.find("Width: 442"), std::string::npos) << info;
        DestroyWindow(w);
    });
    ui.join();
}

TEST(NoDisplay, MessageBoxFailsCleanlyWithoutADisplay) {
    for (const char* display : {"", ":31999"}) {
        SCOPED_TRACE(display);
        Environment env = EnglishEnv();
        if (*display) env.Set("DISPLAY", display);
        else env.Unset("DISPLAY");
        RunResult r = tavlin_test::Run({TAVLIN_MSGBOX, "text", "Prompt"}, env, 10000);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(Trim(r.out), "0");
        EXPECT_EQ(r.exitCode, 1);
    }
    // TAVLIN_OFFSCREEN=1 shows the box without a display: it then waits
    // for an answer instead of failing at once.
    Environment env = EnglishEnv();
    env.Unset("DISPLAY");
    env.Set("TAVLIN_OFFSCREEN", "1");
    ChildProcess box;
    tavlin_test::SpawnOptions opts;
    opts.argv = {TAVLIN_MSGBOX, "text", "Prompt"};
    opts.env = env;
    ASSERT_TRUE(box.Start(opts));
    EXPECT_FALSE(box.Wait(1000));
    EXPECT_EQ(box.Stdout(), "");
    box.Kill();

    // In-process too: a thread without a display gets no window.
    unsetenv("DISPLAY");
    SetOffscreenMode(false);
    auto made = std::async(std::launch::async, [] {
        Handler h;
        return MakeWindow(&h) == nullptr && MessageBoxW(nullptr, u"t", u"c", MB_OK) == 0;
    });
    EXPECT_TRUE(GetWithin(made, 10000, "window without display"));
}

// The fonts a process has mapped ("" when it has ended).
std::string MappedFonts(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string fonts;
    for (std::string line; std::getline(maps, line);)
        if (line.find("/fonts/") != std::string::npos) fonts += line.substr(line.find('/')) + "\n";
    return fonts;
}

// A box of Latin text in an English interface never maps the CJK font (5 MB
// of file whose touched pages count in the process's memory); a Chinese
// interface or Chinese text does.
TEST(NoDisplay, OnlyChineseTextOrInterfaceMapsTheCjkFont) {
    struct Case {
        const char* lang;
        const char* text;
        bool cjk;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "Update Program 8.6.6", false},
        {"zh_CN.UTF-8", "Update Program 8.6.6", true},
        {"en_US.UTF-8", "升级程序", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.lang) + " " + c.text);
        Environment env = EnglishEnv();
        env.Set("LANG", c.lang);
        env.Unset("DISPLAY");
        env.Set("TAVLIN_OFFSCREEN", "1");
        ChildProcess box;
        tavlin_test::SpawnOptions opts;
        opts.argv = {TAVLIN_MSGBOX, c.text, "Prompt"};
        opts.env = env;
        ASSERT_TRUE(box.Start(opts));
        // The box lays out its text and buttons before it waits for an
        // answer; the first font mapped means the layout has begun.
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return !MappedFonts(box.pid()).empty(); }, 10000));
        ::usleep(300 * 1000);
        const std::string fonts = MappedFonts(box.pid());
        EXPECT_TRUE(box.Alive());
        EXPECT_EQ(fonts.find("wqy-microhei") != std::string::npos, c.cjk) << fonts;
        box.Kill();
    }
}

}  // namespace
}  // namespace tavlin_window_test

namespace tavlin_window_test {
namespace {

// A box whose window another client destroys at once, many times over: the
// destruction's event could be taken in while the box flushed its requests
// and then wait unseen until some other event came (about one box in ten
// never answered).
TEST_F(X11Test, BoxWhoseWindowIsDestroyedAlwaysAnswers) {
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        ChildProcess box;
        tavlin_test::SpawnOptions opts;
        opts.argv = {TAVLIN_MSGBOX, "Another program is already in progress, start new one?", "Prompt"};
        opts.env = env_;
        ASSERT_TRUE(box.Start(opts)) << box.error();
        const std::string id = FindBoxOf(box.pid());
        ASSERT_FALSE(id.empty()) << box.Stderr();
        Xdotool({"windowclose", id});
        ASSERT_TRUE(box.Wait(5000)) << "the box did not notice its window was gone";
        EXPECT_EQ(Trim(box.Stdout()), "2");
    }
}

// The X server ends (the session is logged out) while a box shows: the box
// answers as closed and the program ends, instead of spinning in Xlib on
// the lost connection.
TEST_F(X11Test, BoxEndsWhenTheServerGoesAway) {
    tavlin_test::SpawnOptions serverOpts;
    serverOpts.argv = {tavlin_test::FindProgram("Xvfb"), "-displayfd", "1", "-screen", "0", "1024x768x24",
                       "-nolisten", "tcp", "-noreset"};
    ChildProcess server;
    ASSERT_TRUE(server.Start(serverOpts)) << server.error();
    std::string out;
    tavlin_test::WaitUntil([&] {
        out = server.Stdout();
        return out.find('\n') != std::string::npos || !server.Alive();
    }, 10000, 10);
    ASSERT_NE(out.find('\n'), std::string::npos) << "Xvfb did not start: " << server.Stderr();
    env_.Set("DISPLAY", ":" + out.substr(0, out.find('\n')));

    ChildProcess box;
    tavlin_test::SpawnOptions opts;
    opts.argv = {TAVLIN_MSGBOX, "Another program is already in progress, start new one?", "Prompt"};
    opts.env = env_;
    ASSERT_TRUE(box.Start(opts)) << box.error();
    ASSERT_FALSE(FindBoxOf(box.pid()).empty()) << box.Stderr();
    server.Kill();
    ASSERT_TRUE(server.Wait(10000));
    ASSERT_TRUE(box.Wait(10000)) << "the box did not end with its display";
    EXPECT_EQ(Trim(box.Stdout()), "2");
}

}  // namespace
}  // namespace tavlin_window_test
