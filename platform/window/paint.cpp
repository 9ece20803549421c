// Invalidation, BeginPaint / EndPaint and presenting the back buffer.
#include "platform/window/paint.h"

#include <algorithm>

#include "platform/window/messages.h"
#include "backend.h"
#include "core.h"

namespace platform {
namespace detail {

namespace {

Rect Union(const Rect& a, const Rect& b) {
    if (a.Empty()) return b;
    if (b.Empty()) return a;
    return Rect{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

Rect Intersect(const Rect& a, const Rect& b) {
    Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    return r.Empty() ? Rect{} : r;
}

}  // namespace

void PaintNow(Hwnd hwnd) {
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd) || hwnd->invalid.Empty()) return;
    }
    Msg m;
    m.hwnd = hwnd;
    m.message = WM_PAINT;
    m.time = NowMs();
    DispatchMessageW(m);
}

}  // namespace detail

using namespace detail;

bool InvalidateRect(Hwnd hwnd, const Rect* rect) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd)) return false;
    Rect client{0, 0, hwnd->rect.Width(), hwnd->rect.Height()};
    Rect area = rect ? Intersect(*rect, client) : client;
    if (area.Empty()) return true;
    hwnd->invalid = Union(hwnd->invalid, area);
    hwnd->queue->Wake();
    return true;
}

bool UpdateWindow(Hwnd hwnd) {
    if (!IsOwnWindow(hwnd)) return false;
    if (IsWindowVisible(hwnd)) PaintNow(hwnd);
    return true;
}

cairo_t* BeginPaint(Hwnd hwnd, PaintStruct* ps) {
    if (!IsOwnWindow(hwnd)) return nullptr;
    Rect area;
    {
        auto lock = CoreLock();
        Rect client{0, 0, hwnd->rect.Width(), hwnd->rect.Height()};
        area = hwnd->invalid.Empty() ? client : hwnd->invalid;
        hwnd->invalid = Rect{};
    }
    hwnd->beginPaintCalled = true;
    EnsureSurface(hwnd);
    cairo_t* cr = cairo_create(hwnd->surface);
    cairo_rectangle(cr, area.left, area.top, area.Width(), area.Height());
    cairo_clip(cr);
    ps->cr = cr;
    ps->rcPaint = area;
    return cr;
}

void EndPaint(Hwnd hwnd, PaintStruct* ps) {
    if (ps->cr) cairo_destroy(ps->cr);
    ps->cr = nullptr;
    if (!IsOwnWindow(hwnd)) return;
    cairo_surface_flush(hwnd->surface);
    hwnd->painted = true;
    Backend* be = CurrentQueue()->backend.get();
    if (be && hwnd->native && IsWindowVisible(hwnd)) be->Present(hwnd, hwnd->surface, ps->rcPaint);
}

cairo_surface_t* GetWindowSurface(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->surface : nullptr;
}

}  // namespace platform
