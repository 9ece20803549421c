// The Win32 backend on a real display: Wine on an X server, driven with
// xdotool and read back from the screen.
#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <atomic>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "platform/window/automation.h"
#include "platform/window/foreign.h"
#include "platform/window/message_box.h"
#include "platform/window/paint.h"
#include "native_events.h"
#include "win32_screen.h"
#include "window_test_util.h"

namespace tavlin_window_test {
namespace {

constexpr char kXdotool[] = "/usr/bin/xdotool";
constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0x0000FF;

uintptr_t NativeOf(Hwnd w) { return detail::NativeHandle(w); }

uint32_t PixelAt(int x, int y) {
    auto px = win32::ScreenPixels(x, y, 1, 1);
    return px.empty() ? 0xFFFFFFFFu : px[0];
}

void Fill(cairo_t* cr, double r, double g, double b, double a, double x, double y, double w, double h) {
    cairo_set_source_rgba(cr, r, g, b, a);
    cairo_rectangle(cr, x, y, w, h);
    cairo_fill(cr);
}

class Win32Display : public ::testing::Test {
protected:
    void SetUp() override {
        if (!win32::HaveDisplay())
            GTEST_SKIP() << "no display: DISPLAY is unset (run under Wine with an X server, e.g. Xvfb)";
        SetOffscreenMode(false);
    }
    void TearDown() override {
        for (Hwnd w : windows_)
            if (IsWindow(w)) DestroyWindow(w);
        PumpUntil([] { return false; }, 50);
    }

    // The fixture keeps the handler until the window is gone in TearDown.
    Hwnd Make(Handler handler, Rect r, uint32_t style = WS_POPUP, uint32_t exStyle = 0) {
        Handler* h = &handlers_.emplace_back(std::move(handler));
        CreateWindowParams p;
        p.className = u"tavlin_win32_test";
        p.title = u"win32 test";
        p.proc = HandlerProc;
        p.userData = h;
        p.style = style;
        p.exStyle = exStyle;
        p.x = r.left;
        p.y = r.top;
        p.width = r.Width();
        p.height = r.Height();
        Hwnd w = CreateWindowW(p);
        if (w) windows_.push_back(w);
        return w;
    }

    // Shows w in front with the keyboard focus, and waits for its first paint.
    void ShowFocused(Hwnd w, const bool* painted) {
        ShowWindow(w, SW_SHOW);
        SetForegroundWindow(w);
        ASSERT_TRUE(PumpUntil([&] { return *painted; }, 5000));
        const unsigned long xid = win32::XWindowOf(NativeOf(w));
        ASSERT_NE(xid, 0u) << "no X window behind the native window";
        ASSERT_TRUE(Xdotool("windowfocus --sync " + std::to_string(xid)));
        PumpUntil([] { return false; }, 200);
    }

    // Runs xdotool on a thread of its own while this thread keeps handling
    // its messages (a drag needs both at once).
    bool Xdotool(const std::string& args) {
        std::atomic<int> rc{-2};
        std::thread t([&] { rc = win32::RunHostProgram(kXdotool, args, 15000); });
        bool ended = PumpUntil([&] { return rc.load() != -2; }, 20000);
        t.join();
        return ended && rc.load() == 0;
    }

    // Polls the screen until (x, y) shows colour, bounded.
    static bool ShowsWithin(int x, int y, uint32_t colour, int timeoutMs = 3000) {
        return PumpUntil([&] { return PixelAt(x, y) == colour; }, timeoutMs);
    }

    std::list<Handler> handlers_;
    std::vector<Hwnd> windows_;
};

TEST_F(Win32Display, PlainAndLayeredWindowsShowTheirPictureAndTheCardsTransparencyShowsWhatIsBehind) {
    const Rect plain{100, 100, 260, 200};
    const Rect card{400, 100, 560, 200};
    // What the screen shows where the card will be transparent.
    const uint32_t behind = PixelAt(card.left + 5, card.top + 5);
    bool plainPainted = false, cardPainted = false;
    Handler plainH = [&](Hwnd w, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_PAINT) return std::nullopt;
        PaintStruct ps;
        cairo_t* cr = BeginPaint(w, &ps);
        Fill(cr, 0, 0, 1, 1, 0, 0, 80, 100);
        Fill(cr, 0, 1, 0, 1, 80, 0, 80, 100);
        EndPaint(w, &ps);
        plainPainted = true;
        return 0;
    };
    Handler cardH = [&](Hwnd w, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_PAINT) return std::nullopt;
        PaintStruct ps;
        cairo_t* cr = BeginPaint(w, &ps);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, 0, 0, 0, 0);
        cairo_paint(cr);
        Fill(cr, 1, 0, 0, 1, 40, 20, 80, 60);
        EndPaint(w, &ps);
        cardPainted = true;
        return 0;
    };
    Hwnd p = Make(plainH, plain);
    Hwnd c = Make(cardH, card, WS_POPUP, WS_EX_LAYERED);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(c, nullptr);
    ShowWindow(p, SW_SHOW);
    ShowWindow(c, SW_SHOW);
    ASSERT_TRUE(PumpUntil([&] { return plainPainted && cardPainted; }));

    EXPECT_TRUE(ShowsWithin(plain.left + 40, plain.top + 50, kBlue));
    EXPECT_TRUE(ShowsWithin(plain.left + 120, plain.top + 50, kGreen));
    EXPECT_TRUE(ShowsWithin(card.left + 80, card.top + 50, kRed));
    EXPECT_EQ(PixelAt(card.left + 5, card.top + 5), behind);

    // Moved and repainted, the card shows at its new place.
    MoveWindow(c, 600, 300, 160, 100);
    EXPECT_TRUE(ShowsWithin(600 + 80, 300 + 50, kRed));
    Rect r;
    ASSERT_TRUE(GetWindowRect(c, &r));
    EXPECT_EQ(r, (Rect{600, 300, 760, 400}));
}

TEST_F(Win32Display, KeysTypedWithXdotoolArriveAsKeyAndCharacterMessages) {
    struct Case {
        const char* key;
        unsigned vk;
        char32_t character;  // 0: none
    };
    const Case cases[] = {
        {"a", 'A', U'a'},
        {"shift+b", 'B', U'B'},
        {"Return", VK_RETURN, U'\r'},
        {"Escape", VK_ESCAPE, 0x1B},
        {"Left", VK_LEFT, 0},
    };
    bool painted = false;
    std::vector<unsigned> downs;
    std::vector<char32_t> chars;
    int closes = 0;
    Handler h = [&](Hwnd, unsigned msg, WPARAM wp, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_PAINT) painted = true;
        if (msg == WM_KEYDOWN) downs.push_back(static_cast<unsigned>(wp));
        if (msg == WM_CHAR) chars.push_back(static_cast<char32_t>(wp));
        if (msg == WM_CLOSE) ++closes;
        return std::nullopt;
    };
    Hwnd w = Make(h, Rect{150, 150, 350, 270});
    ASSERT_NE(w, nullptr);
    ShowFocused(w, &painted);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        downs.clear();
        chars.clear();
        ASSERT_TRUE(Xdotool(std::string("key ") + c.key));
        EXPECT_TRUE(PumpUntil([&] {
            for (unsigned d : downs)
                if (d == c.vk) return c.character == 0 || !chars.empty();
            return false;
        }));
        if (c.character) EXPECT_EQ(chars, std::vector<char32_t>{c.character});
        else EXPECT_TRUE(chars.empty());
    }
    // Escape is only a key; the window stays.
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(IsWindow(w));

    // Alt+F4 asks the window to close, as the X close button does on Linux.
    ASSERT_TRUE(Xdotool("key alt+F4"));
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(w); }));
    EXPECT_EQ(closes, 1);
}

TEST_F(Win32Display, ClickOnAControlAndADragOnTheCaption) {
    const Rect at{300, 200, 500, 340};
    const Rect button{120, 80, 180, 120};  // client coordinates
    bool painted = false;
    int clicks = 0;
    Point down;
    Point downScreen;
    int otherPresses = 0;
    Handler h = [&](Hwnd w, unsigned msg, WPARAM, LPARAM lp) -> std::optional<LRESULT> {
        switch (msg) {
        case WM_PAINT:
            painted = true;
            return std::nullopt;
        case WM_NCHITTEST: {
            Point p{GetXLParam(lp), GetYLParam(lp)};
            ScreenToClient(w, &p);
            return p.y < 30 ? HTCAPTION : HTCLIENT;
        }
        case WM_LBUTTONDOWN: {
            Point p{GetXLParam(lp), GetYLParam(lp)};
            if (!button.Contains(p)) ++otherPresses;
            down = p;
            Point s;
            GetCursorPos(&s);
            downScreen = s;
            return 0;
        }
        case WM_LBUTTONUP:
            if (button.Contains(Point{GetXLParam(lp), GetYLParam(lp)})) ++clicks;
            return 0;
        default:
            return std::nullopt;
        }
    };
    Hwnd w = Make(h, at);
    ASSERT_NE(w, nullptr);
    ShowFocused(w, &painted);

    const int bx = at.left + 150, by = at.top + 100;
    ASSERT_TRUE(Xdotool("mousemove --sync " + std::to_string(bx) + " " + std::to_string(by) + " click 1"));
    EXPECT_TRUE(PumpUntil([&] { return clicks == 1; }));
    EXPECT_EQ(down, (Point{150, 100}));
    EXPECT_EQ(downScreen, (Point{bx, by}));

    // A press on the caption moves the window with the pointer; the press
    // never reaches the procedure.
    const int cx = at.left + 50, cy = at.top + 10;
    ASSERT_TRUE(Xdotool("mousemove --sync " + std::to_string(cx) + " " + std::to_string(cy) +
                        " mousedown 1 sleep 0.5 mousemove --sync " + std::to_string(cx + 60) + " " +
                        std::to_string(cy + 40) + " sleep 0.5 mouseup 1"));
    Rect r;
    EXPECT_TRUE(PumpUntil([&] { return GetWindowRect(w, &r) && r.left == at.left + 60; }));
    EXPECT_EQ(r, (Rect{at.left + 60, at.top + 40, at.right + 60, at.bottom + 40}));
    EXPECT_EQ(otherPresses, 0);
    EXPECT_EQ(clicks, 1);
}

TEST_F(Win32Display, TimersPostsAndSendsFromAnotherThreadRunOnTheNativeLoop) {
    constexpr unsigned kPosted = WM_USER + 1;
    constexpr unsigned kSent = WM_USER + 2;
    int ticks = 0, posted = 0;
    Handler h = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_TIMER) ++ticks;
        if (msg == kPosted) ++posted;
        if (msg == kSent) return 42;
        return std::nullopt;
    };
    Hwnd w = Make(h, Rect{50, 50, 150, 150});
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOW);
    ASSERT_NE(SetTimer(w, 7, 20), 0u);
    std::atomic<LRESULT> sent{0};
    std::thread other([&] {
        for (int i = 0; i < 3; ++i) PostMessageW(w, kPosted, 0, 0);
        sent = SendMessageW(w, kSent, 0, 0);
    });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3 && posted == 3 && sent.load() == 42; }));
    other.join();
    EXPECT_EQ(posted, 3);
    EXPECT_EQ(sent.load(), 42);
}

TEST_F(Win32Display, EnglishAndChineseTextHaveNoUnknownGlyphsWhateverFaceIsAskedFor) {
    const std::u16string texts[] = {u"Update Program 8.6.6", u"检测到程序正在运行，是否重新打开!"};
    // The Windows UI faces a skin names, one that no system has, none.
    const char* families[] = {"微软雅黑", "Microsoft YaHei", "Tahoma", "No Such Face", ""};
    bool painted = false;
    Handler h = [&](Hwnd w, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_PAINT) return std::nullopt;
        PaintStruct ps;
        cairo_t* cr = BeginPaint(w, &ps);
        Fill(cr, 1, 1, 1, 1, 0, 0, 400, 60);
        cairo_set_source_rgb(cr, 0, 0, 0);
        PangoLayout* layout = CreateTextLayout(cr, texts[1], "微软雅黑", 20);
        cairo_move_to(cr, 10, 10);
        pango_cairo_show_layout(cr, layout);
        g_object_unref(layout);
        EndPaint(w, &ps);
        painted = true;
        return 0;
    };
    Hwnd w = Make(h, Rect{200, 400, 600, 460});
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOW);
    ASSERT_TRUE(PumpUntil([&] { return painted; }));

    cairo_t* cr = cairo_create(GetWindowSurface(w));
    for (const char* family : families)
        for (const auto& text : texts) {
            SCOPED_TRACE(family);
            PangoLayout* layout = CreateTextLayout(cr, text, family, 16);
            EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout), 0);
            int width = 0, height = 0;
            pango_layout_get_pixel_size(layout, &width, &height);
            EXPECT_GT(width, 100);
            g_object_unref(layout);
        }
    cairo_destroy(cr);

    // The drawn Chinese line reaches the screen as dark strokes on white.
    int dark = 0, light = 0;
    EXPECT_TRUE(PumpUntil([&] {
        dark = light = 0;
        for (uint32_t px : win32::ScreenPixels(200, 400, 400, 60)) {
            const int sum = static_cast<int>((px >> 16) & 0xFF) + ((px >> 8) & 0xFF) + (px & 0xFF);
            if (sum < 200) ++dark;
            if (sum > 700) ++light;
        }
        return dark > 300 && light > 12000;
    })) << dark << " dark and " << light << " light pixels";
}

TEST_F(Win32Display, TitleIconAndTopmostReachTheNativeWindow) {
    Handler h;
    Hwnd w = Make(h, Rect{100, 500, 300, 600}, WS_OVERLAPPEDWINDOW);
    ASSERT_NE(w, nullptr);
    const uintptr_t native = NativeOf(w);
    EXPECT_EQ(win32::NativeTitle(native), u"win32 test");
    ASSERT_TRUE(SetWindowTextW(w, u"Tavlin 更新程序"));
    EXPECT_EQ(win32::NativeTitle(native), u"Tavlin 更新程序");

    EXPECT_FALSE(win32::NativeHasIcon(native));
    cairo_surface_t* icon = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 32, 32);
    cairo_t* cr = cairo_create(icon);
    Fill(cr, 0, 0.5, 1, 0.8, 4, 4, 24, 24);
    cairo_destroy(cr);
    EXPECT_TRUE(SetWindowIcon(w, icon));
    cairo_surface_destroy(icon);
    EXPECT_TRUE(win32::NativeHasIcon(native));

    // The client area is the window's rect; the frame lies around it.
    Rect r;
    ASSERT_TRUE(GetWindowRect(w, &r));
    EXPECT_EQ(r, (Rect{100, 500, 300, 600}));

    EXPECT_FALSE(win32::NativeTopmost(native));
    ASSERT_TRUE(SetWindowTopmost(w, true));
    EXPECT_TRUE(win32::NativeTopmost(native));
    ASSERT_TRUE(SetWindowTopmost(w, false));
    EXPECT_FALSE(win32::NativeTopmost(native));
}

TEST_F(Win32Display, MessageBoxAnswersFromTheKeyboardWhileTheThreadsWindowsKeepRunning) {
    struct Case {
        unsigned type;
        const char* key;
        int answer;
    };
    const Case cases[] = {{MB_OK, "Return", IDOK}, {MB_OKCANCEL, "Escape", IDCANCEL}, {MB_OKCANCEL, "Return", IDOK}};
    std::atomic<int> ticks{0};
    Handler h = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_TIMER) ++ticks;
        return std::nullopt;
    };
    Hwnd owner = Make(h, Rect{100, 100, 400, 300});
    ASSERT_NE(owner, nullptr);
    ShowWindow(owner, SW_SHOW);
    ASSERT_NE(SetTimer(owner, 1, 20), 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::atomic<bool> pressed{false};
        std::atomic<int> ticksWhileUp{-1};
        std::thread presser([&] {
            uintptr_t box = 0;
            for (int i = 0; i < 100 && !box; ++i) {
                box = FindForeignWindow(u"#32770");
                if (!box) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (!box) return;
            const int before = ticks;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ticksWhileUp = ticks - before;
            const std::string xid = std::to_string(win32::XWindowOf(box));
            pressed = win32::RunHostProgram(kXdotool, "windowfocus --sync " + xid + " key " + c.key, 15000) == 0;
        });
        const int answer = MessageBoxW(owner, u"检测到程序正在运行，是否重新打开!", u"Tavlin", c.type);
        presser.join();
        EXPECT_TRUE(pressed.load());
        EXPECT_EQ(answer, c.answer);
        EXPECT_GT(ticksWhileUp.load(), 3) << "the owner's timer stopped under the box";
        EXPECT_TRUE(IsWindowEnabled(owner));
    }
}

}  // namespace
}  // namespace tavlin_window_test
