// Off-screen mode switch, window search and synthetic input for tests.
#include "platform/window/automation.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/window/messages.h"
#include "platform/window/paint.h"
#include "platform/window/window.h"
#include "core.h"

namespace platform {

using namespace detail;

namespace {

// -1: not decided yet (the environment decides at first use).
std::atomic<int> g_offscreen{-1};

// The character a key types without modifiers, as the X11 backend reports it.
char32_t KeyCharacter(unsigned vk) {
    if ((vk >= 'A' && vk <= 'Z')) return vk - 'A' + 'a';
    if (vk >= '0' && vk <= '9') return vk;
    switch (vk) {
    case VK_SPACE: return U' ';
    case VK_RETURN: return U'\r';
    case VK_ESCAPE: return 0x1B;
    case VK_TAB: return U'\t';
    case VK_BACK: return 0x08;
    default: return 0;
    }
}

bool Matches(Hwnd w, std::u16string_view className, std::u16string_view title) {
    return (className.empty() || w->className == className) && (title.empty() || w->title == title);
}

Msg Input(Hwnd hwnd, unsigned message, WPARAM wParam, LPARAM lParam) {
    Msg m;
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = NowMs();
    return m;
}

}  // namespace

void SetOffscreenMode(bool on) { g_offscreen = on ? 1 : 0; }

bool IsOffscreenMode() {
    int v = g_offscreen.load();
    if (v < 0) {
        const char* env = std::getenv("TAVLIN_OFFSCREEN");
        int decided = env && std::strcmp(env, "1") == 0 ? 1 : 0;
        g_offscreen.compare_exchange_strong(v, decided);
        return g_offscreen.load() == 1;
    }
    return v == 1;
}

Hwnd FindWindowW(std::u16string_view className, std::u16string_view title) {
    auto lock = CoreLock();
    for (Hwnd w : LiveWindowsLocked())
        if (Matches(w, className, title)) return w;
    return nullptr;
}

std::vector<Hwnd> EnumWindows() {
    auto lock = CoreLock();
    return LiveWindowsLocked();
}

Hwnd WaitForWindow(std::u16string_view className, std::u16string_view title, unsigned timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            auto lock = CoreLock();
            for (Hwnd w : LiveWindowsLocked())
                if (w->visible && Matches(w, className, title)) return w;
        }
        if (Clock::now() >= deadline) return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool SendKey(Hwnd hwnd, unsigned vk) {
    if (!IsWindow(hwnd)) return false;
    Msg down = Input(hwnd, WM_KEYDOWN, vk, 1);
    down.character = KeyCharacter(vk);
    PostInput(hwnd, down);
    PostInput(hwnd, Input(hwnd, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u)));
    return true;
}

bool ClickAt(Hwnd hwnd, Point p) {
    Rect wr;
    if (!GetWindowRect(hwnd, &wr)) return false;
    LPARAM at = MakeLParam(p.x, p.y);
    Point screen{wr.left + p.x, wr.top + p.y};
    for (Msg m : {Input(hwnd, WM_MOUSEMOVE, 0, at), Input(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, at),
                  Input(hwnd, WM_LBUTTONUP, 0, at)}) {
        m.pt = screen;
        PostInput(hwnd, m);
    }
    return true;
}

bool GetRegionRect(Hwnd hwnd, std::u16string_view name, Rect* rect) {
    std::u16string key(name);
    Rect found;
    LRESULT ok = 0;
    bool ran = CallOnWindowThread(hwnd, [&]() -> LRESULT {
        RegionLocator locator;
        {
            auto lock = CoreLock();
            if (!IsLiveLocked(hwnd)) return 0;
            locator = hwnd->locator;
        }
        if (!locator) return 0;
        auto r = locator(key);
        if (!r) return 0;
        found = *r;
        return 1;
    }, &ok);
    if (!ran || !ok) return false;
    *rect = found;
    return true;
}

bool ClickRegion(Hwnd hwnd, std::u16string_view name) {
    Rect r;
    if (!GetRegionRect(hwnd, name, &r)) return false;
    return ClickAt(hwnd, Point{(r.left + r.right) / 2, (r.top + r.bottom) / 2});
}

bool RequestClose(Hwnd hwnd) {
    if (!IsWindow(hwnd)) return false;
    OnNativeCloseRequest(hwnd);
    return true;
}

bool SaveWindowPng(Hwnd hwnd, const std::string& path) {
    LRESULT ok = 0;
    bool ran = CallOnWindowThread(hwnd, [&]() -> LRESULT {
        if (!IsOwnWindow(hwnd)) return 0;
        PaintNow(hwnd);
        if (!IsOwnWindow(hwnd) || !hwnd->surface) return 0;
        return cairo_surface_write_to_png(hwnd->surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    }, &ok);
    return ran && ok;
}

}  // namespace platform
