// The Win32 backend: a native window per window record, its window procedure
// turning the system's messages into the core's reports, and the back buffer
// shown through a DIB section (UpdateLayeredWindow for WS_EX_LAYERED
// windows, so their shadows keep per-pixel alpha).
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "backend.h"
#include "native_events.h"
#include "win32_gdi.h"
#include "win32_native.h"

namespace platform {

using namespace detail;

namespace {

constexpr wchar_t kClassName[] = L"TavlinWindow";

// Style bits the native window takes over; the core keeps the others
// (visibility and the enabled state are its own).
constexpr DWORD kNativeStyles = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX |
                                WS_MAXIMIZEBOX | WS_BORDER;
constexpr DWORD kNativeExStyles = WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_LAYERED |
                                  WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;

thread_local bool t_pumpSuspended = false;

std::wstring Wide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }

std::wstring WideFromUtf8(const std::string& utf8) {
    if (utf8.empty() || utf8.size() > static_cast<size_t>(INT_MAX)) return {};
    const int n = static_cast<int>(utf8.size());
    int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, nullptr, 0);
    if (units <= 0) return {};
    std::wstring out(static_cast<size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, out.data(), units);
    return out;
}

Rect FromRECT(const RECT& r) { return Rect{r.left, r.top, r.right, r.bottom}; }

// The native window's state beside the core's record.
struct Native {
    HWND hwnd = nullptr;
    Hwnd rec = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    win32::Dib dib;        // what the system draws the window from
    win32::UniqueIcon icon;
    bool trackingLeave = false;
    wchar_t highSurrogate = 0;
};

Native* FromHwnd(HWND hwnd) { return reinterpret_cast<Native*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

// The client area in screen coordinates: the core's window rect.
Rect ClientOnScreen(HWND hwnd) {
    RECT c{};
    ::GetClientRect(hwnd, &c);
    POINT origin{0, 0};
    ::ClientToScreen(hwnd, &origin);
    return Rect{origin.x, origin.y, origin.x + c.right, origin.y + c.bottom};
}

Msg MakeInput(UINT message, WPARAM w, LPARAM l, POINT screen) {
    Msg m;
    m.message = message;
    m.wParam = w;
    m.lParam = l;
    m.pt = Point{screen.x, screen.y};
    m.time = NowMs();
    return m;
}

POINT ScreenPointOf(HWND hwnd, LPARAM clientPoint) {
    POINT p{static_cast<short>(LOWORD(clientPoint)), static_cast<short>(HIWORD(clientPoint))};
    ::ClientToScreen(hwnd, &p);
    return p;
}

POINT CursorNow() {
    POINT p{0, 0};
    ::GetCursorPos(&p);
    return p;
}

void PostMouse(Native& n, UINT message, WPARAM w, LPARAM l) {
    PostInput(n.rec, MakeInput(message, w, l, ScreenPointOf(n.hwnd, l)));
}

// Characters the X11 backend never reports (Ctrl combinations give control
// codes here); the keys' own codes (Enter, Tab, Backspace, Escape) stay.
bool IsTypedCharacter(char32_t c) { return c >= 0x20 || c == '\r' || c == '\t' || c == '\b' || c == 0x1B; }

void OnChar(Native& n, WPARAM unit, LPARAM l) {
    const wchar_t u = static_cast<wchar_t>(unit);
    char32_t c = u;
    if (IS_HIGH_SURROGATE(u)) {
        n.highSurrogate = u;
        return;
    }
    if (IS_LOW_SURROGATE(u)) {
        if (!n.highSurrogate) return;
        c = 0x10000 + ((static_cast<char32_t>(n.highSurrogate) - 0xD800) << 10) + (u - 0xDC00);
    }
    n.highSurrogate = 0;
    if (!IsTypedCharacter(c)) return;
    PostInput(n.rec, MakeInput(WM_CHAR, c, l, CursorNow()));
}

::LRESULT CALLBACK NativeWindowProc(HWND hwnd, UINT message, ::WPARAM w, ::LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
        auto* n = static_cast<Native*>(cs->lpCreateParams);
        n->hwnd = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(n));
        return ::DefWindowProcW(hwnd, message, w, l);
    }
    Native* n = FromHwnd(hwnd);
    if (!n) return ::DefWindowProcW(hwnd, message, w, l);
    switch (message) {
    case WM_CLOSE:
        // The core decides (a disabled window ignores it).
        OnNativeCloseRequest(n->rec);
        return 0;
    case WM_SYSKEYDOWN:
        if (w == VK_F4 && (l & (1 << 29))) {
            OnNativeCloseRequest(n->rec);
            return 0;
        }
        [[fallthrough]];
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP:
        // Not to DefWindowProcW: Alt alone would open a system menu the
        // window never shows on Linux.
        PostInput(n->rec, MakeInput(message, w, l, CursorNow()));
        return 0;
    case WM_CHAR:
        OnChar(*n, w, l);
        return 0;
    case WM_SYSCHAR:
    case WM_SYSDEADCHAR:
        return 0;
    case WM_MOUSEMOVE:
        if (!n->trackingLeave) {
            TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, hwnd, 0};
            n->trackingLeave = ::TrackMouseEvent(&t) != 0;
        }
        PostMouse(*n, message, w, l);
        return 0;
    case WM_MOUSELEAVE:
        n->trackingLeave = false;
        PostInput(n->rec, MakeInput(WM_MOUSELEAVE, 0, 0, CursorNow()));
        return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        // A press keeps the pointer's moves and its release in this window
        // even when they leave it, as an X11 implicit grab does.
        ::SetCapture(hwnd);
        PostMouse(*n, message, w, l);
        return 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
        if (!(w & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON))) ::ReleaseCapture();
        PostMouse(*n, message, w, l);
        return 0;
    case WM_MOUSEWHEEL: {
        POINT p{static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
        PostInput(n->rec, MakeInput(message, w, l, p));
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        ::BeginPaint(hwnd, &ps);
        const Rect area = FromRECT(ps.rcPaint);
        ::EndPaint(hwnd, &ps);
        if (!area.Empty()) OnNativeExpose(n->rec, area);
        return 0;
    }
    case WM_SETFOCUS:
        OnNativeFocus(n->rec, true);
        return 0;
    case WM_KILLFOCUS:
        OnNativeFocus(n->rec, false);
        return 0;
    case WM_WINDOWPOSCHANGED:
        if (!::IsIconic(hwnd)) OnNativeGeometry(n->rec, ClientOnScreen(hwnd));
        break;  // DefWindowProcW sends WM_SIZE, which reports minimising
    case WM_SIZE:
        OnNativeIconic(n->rec, w == SIZE_MINIMIZED);
        return 0;
    case WM_DESTROY:
        // Destroyed by the backend itself only after it let go of the
        // window; anything else is a loss the core must hear of.
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        n->hwnd = nullptr;
        OnNativeGone(n->rec);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(hwnd, message, w, l);
}

bool RegisterWindowClass() {
    static bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = NativeWindowProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.lpszClassName = kClassName;
        return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

class Win32Backend : public Backend {
public:
    ~Win32Backend() override {
        for (auto& [rec, n] : natives_) Release(*n);
    }

    int EventFd() const override { return -1; }

    void Pump() override {
        if (t_pumpSuspended) return;
        MSG m;
        // Bounded: a window that keeps posting to itself cannot hold the
        // core's queue back.
        for (int i = 0; i < 256 && ::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
            if (!m.hwnd) continue;  // thread messages are the core's business
            ::TranslateMessage(&m);
            ::DispatchMessageW(&m);
        }
    }

    void Flush() override { ::GdiFlush(); }

    bool EventsWaiting() override { return !t_pumpSuspended && ::GetQueueStatus(QS_ALLINPUT) != 0; }

    bool CreateNative(Hwnd hwnd) override {
        if (!RegisterWindowClass()) return false;
        const NativeWindowInfo info = DescribeWindow(hwnd);
        auto n = std::make_unique<Native>();
        n->rec = hwnd;
        n->style = info.style & kNativeStyles;
        // A window without a caption would get one forced on it.
        if (!(n->style & WS_CAPTION)) n->style |= WS_POPUP;
        n->exStyle = info.exStyle & kNativeExStyles;
        RECT r{info.rect.left, info.rect.top, info.rect.right, info.rect.bottom};
        ::AdjustWindowRectEx(&r, n->style, FALSE, n->exStyle);
        const std::wstring title = Wide(info.title);
        HWND owner = reinterpret_cast<HWND>(info.ownerNative);
        HWND created = ::CreateWindowExW(n->exStyle, kClassName, title.c_str(), n->style, r.left, r.top,
                                         r.right - r.left, r.bottom - r.top, owner, nullptr,
                                         ::GetModuleHandleW(nullptr), n.get());
        if (!created) return false;
        SetNativeHandle(hwnd, reinterpret_cast<uintptr_t>(created));
        natives_[hwnd] = std::move(n);
        return true;
    }

    void DestroyNative(Hwnd hwnd) override {
        auto it = natives_.find(hwnd);
        if (it == natives_.end()) return;
        Release(*it->second);
        natives_.erase(it);
        SetNativeHandle(hwnd, 0);
    }

    void SetTitle(Hwnd hwnd, const std::string& utf8) override {
        if (Native* n = Find(hwnd)) ::SetWindowTextW(n->hwnd, WideFromUtf8(utf8).c_str());
    }

    void Show(Hwnd hwnd, bool activate) override {
        Native* n = Find(hwnd);
        if (!n) return;
        if (::IsIconic(n->hwnd)) ::ShowWindow(n->hwnd, activate ? SW_RESTORE : SW_SHOWNOACTIVATE);
        else ::ShowWindow(n->hwnd, activate ? SW_SHOW : SW_SHOWNOACTIVATE);
        if (activate) ::SetForegroundWindow(n->hwnd);
    }

    void Hide(Hwnd hwnd) override {
        if (Native* n = Find(hwnd)) ::ShowWindow(n->hwnd, SW_HIDE);
    }

    void Minimize(Hwnd hwnd) override {
        if (Native* n = Find(hwnd)) ::ShowWindow(n->hwnd, SW_MINIMIZE);
    }

    void MoveResize(Hwnd hwnd, const Rect& rect) override {
        Native* n = Find(hwnd);
        if (!n) return;
        RECT r{rect.left, rect.top, rect.right, rect.bottom};
        ::AdjustWindowRectEx(&r, n->style, FALSE, n->exStyle);
        ::SetWindowPos(n->hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }

    void SetTopmost(Hwnd hwnd, bool topmost) override {
        if (Native* n = Find(hwnd))
            ::SetWindowPos(n->hwnd, topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                           SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }

    void Activate(Hwnd hwnd) override {
        if (Native* n = Find(hwnd)) {
            ::SetForegroundWindow(n->hwnd);
            ::SetFocus(n->hwnd);
        }
    }

    void BeginDrag(Hwnd hwnd, Point p) override {
        Native* n = Find(hwnd);
        if (!n) return;
        // The system's own move loop, as a press on a real caption starts
        // it; it returns when the button is released.
        ::ReleaseCapture();
        ::SendMessageW(n->hwnd, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(p.x, p.y));
    }

    void Present(Hwnd hwnd, cairo_surface_t* backBuffer, const Rect& area) override {
        Native* n = Find(hwnd);
        if (!n || !backBuffer) return;
        const int width = cairo_image_surface_get_width(backBuffer);
        const int height = cairo_image_surface_get_height(backBuffer);
        if (!n->dib.Ensure(width, height)) return;
        cairo_surface_flush(backBuffer);
        Rect a{std::max(area.left, 0), std::max(area.top, 0), std::min(area.right, width),
               std::min(area.bottom, height)};
        const bool layered = (n->exStyle & WS_EX_LAYERED) != 0;
        // A layered window is shown whole from its bitmap.
        if (layered) a = Rect{0, 0, width, height};
        if (a.Empty()) return;
        // cairo's ARGB32 is premultiplied BGRA in memory, the DIB's and
        // UpdateLayeredWindow's layout.
        const unsigned char* src = cairo_image_surface_get_data(backBuffer);
        const int stride = cairo_image_surface_get_stride(backBuffer);
        for (int y = a.top; y < a.bottom; ++y)
            std::memcpy(n->dib.Row(y) + a.left * 4, src + static_cast<size_t>(y) * stride + a.left * 4,
                        static_cast<size_t>(a.Width()) * 4);
        ::GdiFlush();
        if (layered) {
            SIZE size{width, height};
            POINT origin{0, 0};
            BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
            ::UpdateLayeredWindow(n->hwnd, nullptr, nullptr, &size, n->dib.Dc(), &origin, 0, &blend, ULW_ALPHA);
            return;
        }
        win32::WindowDc dc(n->hwnd);
        if (dc) ::BitBlt(dc.get(), a.left, a.top, a.Width(), a.Height(), n->dib.Dc(), a.left, a.top, SRCCOPY);
    }

    Rect ScreenRect() override {
        MONITORINFO mi{};
        mi.cbSize = sizeof mi;
        HMONITOR monitor = ::MonitorFromPoint(CursorNow(), MONITOR_DEFAULTTOPRIMARY);
        if (monitor && ::GetMonitorInfoW(monitor, &mi)) return FromRECT(mi.rcWork);
        return Rect{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    }

    void SetIcon(Hwnd hwnd, cairo_surface_t* image) override {
        Native* n = Find(hwnd);
        if (!n || !image) return;
        win32::UniqueIcon icon = win32::IconFromSurface(image);
        if (!icon) return;
        ::SendMessageW(n->hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon.get()));
        ::SendMessageW(n->hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon.get()));
        n->icon = std::move(icon);
    }

    bool CursorPos(Point* p) override {
        POINT c;
        if (!::GetCursorPos(&c)) return false;
        *p = Point{c.x, c.y};
        return true;
    }

    uintptr_t FindForeign(const std::string& className) override {
        const std::wstring name = WideFromUtf8(className);
        return name.empty() ? 0 : reinterpret_cast<uintptr_t>(::FindWindowW(name.c_str(), nullptr));
    }

    bool SetForeignOwner(Hwnd hwnd, uintptr_t owner) override {
        Native* n = Find(hwnd);
        HWND other = reinterpret_cast<HWND>(owner);
        if (!n || !::IsWindow(other)) return false;
        ::SetWindowLongPtrW(n->hwnd, GWLP_HWNDPARENT, static_cast<LONG_PTR>(owner));
        return true;
    }

    bool ForeignRect(uintptr_t window, Rect* rect) override {
        HWND other = reinterpret_cast<HWND>(window);
        RECT r;
        if (!::IsWindow(other) || !::IsWindowVisible(other) || !::GetWindowRect(other, &r)) return false;
        *rect = FromRECT(r);
        return true;
    }

private:
    Native* Find(Hwnd hwnd) {
        auto it = natives_.find(hwnd);
        return it == natives_.end() ? nullptr : it->second.get();
    }

    // Lets go of the native window before destroying it, so its last
    // messages reach no record.
    static void Release(Native& n) {
        if (!n.hwnd) return;
        ::SetWindowLongPtrW(n.hwnd, GWLP_USERDATA, 0);
        ::DestroyWindow(n.hwnd);
        n.hwnd = nullptr;
    }

    std::unordered_map<Hwnd, std::unique_ptr<Native>> natives_;
};

}  // namespace

namespace win32 {

void SuspendNativePump(bool suspended) { t_pumpSuspended = suspended; }

}  // namespace win32

std::unique_ptr<Backend> CreateDisplayBackend() { return std::make_unique<Win32Backend>(); }

}  // namespace platform
