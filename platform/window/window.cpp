// Window records: creation, destruction, properties and the default
// procedure.
#include <algorithm>
#include <cmath>

#include "platform/window/automation.h"
#include "platform/window/paint.h"
#include "backend.h"
#include "core.h"
#include "utf8.h"

namespace platform {
namespace detail {

namespace {

std::atomic<uint64_t> g_nextSerial{1};

constexpr int kDefaultWidth = 400;
constexpr int kDefaultHeight = 300;

// Runs the body on hwnd's thread: the caller's value when it is the
// window's own thread, else a forwarded call (false when the window went).
template <typename Fn>
LRESULT OnWindowThread(Hwnd hwnd, Fn&& fn) {
    if (IsOwnWindow(hwnd)) return static_cast<LRESULT>(fn());
    LRESULT r = 0;
    if (!CallOnWindowThread(hwnd, [&] { return static_cast<LRESULT>(fn()); }, &r)) return 0;
    return r;
}

Rect CenteredIn(const Rect& area, int width, int height) {
    int x = area.left + (area.Width() - width) / 2;
    int y = area.top + (area.Height() - height) / 2;
    return Rect{x, y, x + width, y + height};
}

// r moved the least so that it lies inside area (its top-left corner wins
// when it is larger).
Rect KeptOn(const Rect& area, Rect r) {
    int dx = std::max(area.left - r.left, std::min(0, area.right - r.right));
    int dy = std::max(area.top - r.top, std::min(0, area.bottom - r.bottom));
    return Rect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

void Resized(Hwnd hwnd, int width, int height) {
    EnsureSurface(hwnd);
    InvalidateRect(hwnd, nullptr);
    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MakeLParam(width, height));
}

void FreeRec(Backend* be, Hwnd hwnd) {
    if (be && hwnd->native) be->DestroyNative(hwnd);
    if (hwnd->surface) cairo_surface_destroy(hwnd->surface);
    delete hwnd;
}

// Takes hwnd out of every shared list (under CoreLock).
void UnlinkLocked(Hwnd hwnd) {
    auto& live = LiveWindowsLocked();
    live.erase(std::remove(live.begin(), live.end(), hwnd), live.end());
    auto& q = *hwnd->queue;
    q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(),
                                  [&](const Timer& t) { return t.hwnd == hwnd; }),
                   q.timers.end());
    q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(),
                                  [&](const Posted& p) { return p.msg.hwnd == hwnd; }),
                   q.posted.end());
    if (q.focus == hwnd) q.focus = nullptr;
    for (Hwnd w : live)
        if (w->owner == hwnd) w->owner = nullptr;
    for (ModalFrame* f : hwnd->modalFrames) f->ended = true;
    hwnd->modalFrames.clear();
}

}  // namespace

Backend* CurrentBackend() {
    const auto& q = CurrentQueue();
    if (!q->backend) q->backend = IsOffscreenMode() ? CreateOffscreenBackend() : CreateDisplayBackend();
    return q->backend.get();
}

void DestroyThreadWindows(ThreadQueue& queue) {
    std::vector<Hwnd> mine;
    {
        auto lock = CoreLock();
        for (Hwnd w : LiveWindowsLocked())
            if (w->queue.get() == &queue) mine.push_back(w);
        for (auto it = mine.rbegin(); it != mine.rend(); ++it) UnlinkLocked(*it);
    }
    for (auto it = mine.rbegin(); it != mine.rend(); ++it) FreeRec(queue.backend.get(), *it);
}

void EnsureSurface(Hwnd hwnd) {
    // Drawn in layout pixels at the display's resolution: cairo's device
    // scale multiplies every path, glyph and image.
    const double scale = hwnd->scale;
    int w = static_cast<int>(std::ceil(std::max(hwnd->rect.Width(), 1) * scale));
    int h = static_cast<int>(std::ceil(std::max(hwnd->rect.Height(), 1) * scale));
    cairo_surface_t* old = hwnd->surface;
    if (old && cairo_image_surface_get_width(old) == w && cairo_image_surface_get_height(old) == h) return;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_surface_set_device_scale(s, scale, scale);
    if (old) {
        cairo_t* cr = cairo_create(s);
        cairo_set_source_surface(cr, old, 0, 0);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(old);
    }
    hwnd->surface = s;
}

void OnNativeGeometry(Hwnd hwnd, const Rect& rect) {
    bool sized;
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd)) return;
        sized = rect.Width() != hwnd->rect.Width() || rect.Height() != hwnd->rect.Height();
        hwnd->rect = rect;
    }
    if (sized) Resized(hwnd, rect.Width(), rect.Height());
}

void OnNativeExpose(Hwnd hwnd, const Rect& area) {
    if (!IsOwnWindow(hwnd)) return;
    // The back buffer is kept, so an uncovered part is shown again without
    // asking the procedure to draw it.
    if (hwnd->painted) {
        if (Backend* be = CurrentQueue()->backend.get()) be->Present(hwnd, hwnd->surface, area);
    } else {
        InvalidateRect(hwnd, &area);
    }
}

void OnNativeFocus(Hwnd hwnd, bool focused) {
    Hwnd lost = nullptr;
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd)) return;
        auto& q = *hwnd->queue;
        if (focused) {
            if (q.focus == hwnd) return;
            lost = q.focus;
            q.focus = hwnd;
        } else {
            if (q.focus != hwnd) return;
            q.focus = nullptr;
        }
    }
    if (lost) SendMessageW(lost, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    SendMessageW(hwnd, focused ? WM_SETFOCUS : WM_KILLFOCUS, 0, 0);
}

void OnNativeIconic(Hwnd hwnd, bool iconic) {
    auto lock = CoreLock();
    if (IsLiveLocked(hwnd)) hwnd->iconic = iconic;
}

void OnNativeCloseRequest(Hwnd hwnd) {
    {
        auto lock = CoreLock();
        // A window disabled by a modal loop ignores its close button.
        if (!IsLiveLocked(hwnd) || !hwnd->enabled) return;
    }
    // As the system menu's Close: DefWindowProcW makes it WM_CLOSE.
    PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
}

NativeWindowInfo DescribeWindow(Hwnd hwnd) {
    // hwnd is the caller's own record, possibly still being created (not
    // yet listed); the lock covers the fields other threads change.
    NativeWindowInfo info;
    auto lock = CoreLock();
    info.rect = hwnd->rect;
    info.style = hwnd->style;
    info.exStyle = hwnd->exStyle;
    info.title = hwnd->title;
    if (hwnd->owner && IsLiveLocked(hwnd->owner)) info.ownerNative = hwnd->owner->native;
    info.foreignOwner = hwnd->foreignOwner;
    return info;
}

uintptr_t NativeHandle(Hwnd hwnd) { return hwnd->native; }

void SetNativeHandle(Hwnd hwnd, uintptr_t native) { hwnd->native = native; }

void OnNativeGone(Hwnd hwnd) {
    if (!IsOwnWindow(hwnd)) return;
    hwnd->native = 0;
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

}  // namespace detail

using namespace detail;

Hwnd CreateWindowW(const CreateWindowParams& params) {
    if (!params.proc) return nullptr;
    EnsureFontAliases();
    Backend* be = CurrentBackend();
    if (!be) return nullptr;

    auto* w = new WindowRec;
    w->serial = g_nextSerial++;
    w->queue = CurrentQueue();
    w->proc = params.proc;
    w->userData = params.userData;
    w->className = std::u16string(params.className);
    w->title = std::u16string(params.title);
    w->style = params.style & ~WS_VISIBLE;
    w->exStyle = params.exStyle;
    w->enabled = !(params.style & WS_DISABLED);

    Rect ownerRect;
    {
        auto lock = CoreLock();
        if (IsLiveLocked(params.owner)) {
            w->owner = params.owner;
            ownerRect = params.owner->rect;
        }
    }
    int width = params.width == CW_USEDEFAULT ? kDefaultWidth : std::max(params.width, 1);
    int height = params.height == CW_USEDEFAULT ? kDefaultHeight : std::max(params.height, 1);
    const Rect screen = be->ScreenRect();
    // A window larger than its monitor (a high-resolution scale on a small
    // screen) keeps its top left, where its caption is, on the monitor.
    Rect r = KeptOn(screen, CenteredIn(w->owner ? ownerRect : screen, width, height));
    if (params.x != CW_USEDEFAULT) r.left = params.x, r.right = params.x + width;
    if (params.y != CW_USEDEFAULT) r.top = params.y, r.bottom = params.y + height;
    w->rect = r;
    w->invalid = Rect{0, 0, width, height};
    w->scale = be->Scale();
    EnsureSurface(w);

    if (!be->CreateNative(w)) {
        FreeRec(nullptr, w);
        return nullptr;
    }
    {
        auto lock = CoreLock();
        LiveWindowsLocked().push_back(w);
    }
    if (w->proc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&params)) == -1) {
        DestroyWindow(w);
        return nullptr;
    }
    if (params.style & WS_VISIBLE) ShowWindow(w, SW_SHOW);
    return w;
}

bool DestroyWindow(Hwnd hwnd) {
    if (!IsWindow(hwnd)) return false;
    if (!IsOwnWindow(hwnd)) return OnWindowThread(hwnd, [&] { return DestroyWindow(hwnd); }) != 0;
    if (hwnd->destroying) return true;
    hwnd->destroying = true;

    std::vector<Hwnd> owned;
    bool wasModal;
    {
        auto lock = CoreLock();
        for (Hwnd w : LiveWindowsLocked())
            if (w->owner == hwnd) owned.push_back(w);
        wasModal = !hwnd->modalFrames.empty();
        for (ModalFrame* f : hwnd->modalFrames) f->ended = true;
        hwnd->modalFrames.clear();
    }
    for (Hwnd w : owned) DestroyWindow(w);
    // A modal loop waiting in GetMessageW must wake to see its end.
    if (wasModal) PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);

    if (Backend* be = CurrentQueue()->backend.get(); be && hwnd->native && hwnd->visible) be->Hide(hwnd);
    hwnd->proc(hwnd, WM_DESTROY, 0, 0);
    hwnd->proc(hwnd, WM_NCDESTROY, 0, 0);
    {
        auto lock = CoreLock();
        UnlinkLocked(hwnd);
    }
    FreeRec(CurrentQueue()->backend.get(), hwnd);
    return true;
}

bool IsWindow(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd);
}

LRESULT DefWindowProcW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (msg) {
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            SendMessageW(hwnd, WM_CLOSE, 0, 0);
            break;
        case SC_MINIMIZE:
            ShowWindow(hwnd, SW_MINIMIZE);
            break;
        case SC_RESTORE:
            ShowWindow(hwnd, SW_RESTORE);
            break;
        default:
            break;
        }
        return 0;
    case WM_PAINT: {
        PaintStruct ps;
        if (BeginPaint(hwnd, &ps)) EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_NCHITTEST:
        return HTCLIENT;
    default:
        return 0;
    }
}

void* GetWindowUserData(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->userData.load() : nullptr;
}

void SetWindowUserData(Hwnd hwnd, void* data) {
    auto lock = CoreLock();
    if (IsLiveLocked(hwnd)) hwnd->userData = data;
}

bool SetWindowTextW(Hwnd hwnd, std::u16string_view text) {
    return OnWindowThread(hwnd, [&] {
        {
            auto lock = CoreLock();
            if (!IsLiveLocked(hwnd)) return false;
            hwnd->title = std::u16string(text);
        }
        if (Backend* be = CurrentQueue()->backend.get(); be && hwnd->native)
            be->SetTitle(hwnd, ToUtf8(text));
        return true;
    }) != 0;
}

std::u16string GetWindowTextW(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->title : std::u16string();
}

std::u16string GetClassNameW(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->className : std::u16string();
}

bool GetWindowRect(Hwnd hwnd, Rect* rect) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd)) return false;
    *rect = hwnd->rect;
    return true;
}

bool GetClientRect(Hwnd hwnd, Rect* rect) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd)) return false;
    *rect = Rect{0, 0, hwnd->rect.Width(), hwnd->rect.Height()};
    return true;
}

bool MoveWindow(Hwnd hwnd, int x, int y, int width, int height, bool repaint) {
    return OnWindowThread(hwnd, [&] {
        width = std::max(width, 1);
        height = std::max(height, 1);
        Rect r{x, y, x + width, y + height};
        bool sized;
        {
            auto lock = CoreLock();
            if (!IsLiveLocked(hwnd)) return false;
            sized = width != hwnd->rect.Width() || height != hwnd->rect.Height();
            hwnd->rect = r;
        }
        if (Backend* be = CurrentQueue()->backend.get(); be && hwnd->native) be->MoveResize(hwnd, r);
        if (sized) Resized(hwnd, width, height);
        else if (repaint) InvalidateRect(hwnd, nullptr);
        return true;
    }) != 0;
}

bool CenterWindow(Hwnd hwnd) {
    Rect area = GetScreenRect();
    Rect own;
    uintptr_t foreignOwner = 0;
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd)) return false;
        own = hwnd->rect;
        if (IsLiveLocked(hwnd->owner) && hwnd->owner->visible && !hwnd->owner->iconic) area = hwnd->owner->rect;
        else foreignOwner = hwnd->foreignOwner;
    }
    Rect r = KeptOn(GetScreenRect(), CenteredIn(area, own.Width(), own.Height()));
    Rect foreign;
    if (Backend* be = CurrentBackend(); foreignOwner && be && be->ForeignRect(foreignOwner, &foreign)) {
        // Another program's window may sit near an edge: stay on the screen.
        r = CenteredIn(foreign, own.Width(), own.Height());
        r = KeptOn(area, r);
    }
    return MoveWindow(hwnd, r.left, r.top, own.Width(), own.Height(), false);
}

Rect GetScreenRect() {
    if (Backend* be = CurrentBackend()) return be->ScreenRect();
    return Rect{0, 0, 1024, 768};
}

bool ShowWindow(Hwnd hwnd, int cmd) {
    return OnWindowThread(hwnd, [&] {
        bool wasVisible;
        bool wasIconic;
        {
            auto lock = CoreLock();
            if (!IsLiveLocked(hwnd)) return false;
            wasVisible = hwnd->visible;
            wasIconic = hwnd->iconic;
        }
        Backend* be = CurrentQueue()->backend.get();
        bool native = be && hwnd->native;
        if (cmd == SW_HIDE) {
            if (!wasVisible) return false;
            {
                auto lock = CoreLock();
                hwnd->visible = false;
            }
            SendMessageW(hwnd, WM_SHOWWINDOW, 0, 0);
            if (native) be->Hide(hwnd);
            return true;
        }
        bool minimize = cmd == SW_MINIMIZE || cmd == SW_SHOWMINIMIZED;
        bool activate = !(cmd == SW_SHOWNOACTIVATE || cmd == SW_SHOWNA || cmd == SW_MINIMIZE);
        {
            auto lock = CoreLock();
            hwnd->visible = true;
            hwnd->iconic = minimize;
        }
        if (!wasVisible) SendMessageW(hwnd, WM_SHOWWINDOW, 1, 0);
        if (native) {
            if (!wasVisible || (wasIconic && !minimize)) be->Show(hwnd, activate && !minimize);
            else if (activate && !minimize) be->Activate(hwnd);
            if (minimize) be->Minimize(hwnd);
        }
        if (minimize) SendMessageW(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
        else if (wasIconic) {
            Rect rc;
            GetClientRect(hwnd, &rc);
            SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MakeLParam(rc.right, rc.bottom));
        }
        return wasVisible;
    }) != 0;
}

bool IsWindowVisible(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) && hwnd->visible;
}

bool IsIconic(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) && hwnd->iconic;
}

bool SetForegroundWindow(Hwnd hwnd) {
    return OnWindowThread(hwnd, [&] {
        Backend* be = CurrentQueue()->backend.get();
        if (!be || !hwnd->native) return false;
        be->Activate(hwnd);
        return true;
    }) != 0;
}

Hwnd GetFocusWindow() {
    const auto& q = CurrentQueue();
    auto lock = CoreLock();
    return q->focus;
}

bool SetWindowTopmost(Hwnd hwnd, bool topmost) {
    return OnWindowThread(hwnd, [&] {
        {
            auto lock = CoreLock();
            if (!IsLiveLocked(hwnd)) return false;
            if (topmost) hwnd->exStyle |= WS_EX_TOPMOST;
            else hwnd->exStyle &= ~WS_EX_TOPMOST;
        }
        if (Backend* be = CurrentQueue()->backend.get(); be && hwnd->native) be->SetTopmost(hwnd, topmost);
        return true;
    }) != 0;
}

uint32_t GetWindowStyle(Hwnd hwnd) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd)) return 0;
    return hwnd->style | (hwnd->visible ? WS_VISIBLE : 0) | (hwnd->enabled ? 0 : WS_DISABLED) |
           (hwnd->iconic ? WS_MINIMIZE : 0);
}

uint32_t GetWindowExStyle(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->exStyle : 0;
}

bool EnableWindow(Hwnd hwnd, bool enable) {
    bool wasDisabled;
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd)) return false;
        wasDisabled = !hwnd->enabled;
        hwnd->enabled = enable;
    }
    if (wasDisabled == enable) SendMessageW(hwnd, WM_ENABLE, enable ? 1 : 0, 0);
    return wasDisabled;
}

bool IsWindowEnabled(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) && hwnd->enabled;
}

Hwnd GetWindowOwner(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->owner : nullptr;
}

bool SetWindowIcon(Hwnd hwnd, cairo_surface_t* image) {
    return OnWindowThread(hwnd, [&] {
        Backend* be = CurrentQueue()->backend.get();
        if (!be || !hwnd->native || !image) return false;
        be->SetIcon(hwnd, image);
        return true;
    }) != 0;
}

bool GetCursorPos(Point* p) {
    Backend* be = CurrentBackend();
    return be && be->CursorPos(p);
}

bool ScreenToClient(Hwnd hwnd, Point* p) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd)) return false;
    p->x -= hwnd->rect.left;
    p->y -= hwnd->rect.top;
    return true;
}

bool ClientToScreen(Hwnd hwnd, Point* p) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd)) return false;
    p->x += hwnd->rect.left;
    p->y += hwnd->rect.top;
    return true;
}

void SetRegionLocator(Hwnd hwnd, RegionLocator locator) {
    auto lock = CoreLock();
    if (IsLiveLocked(hwnd)) hwnd->locator = std::move(locator);
}

}  // namespace platform
