// CWindowWnd: native window creation and the bridge from the window
// procedure to the object.
#include "duilib/UIBase.h"

#include <cstring>
#include <string>
#include <utility>

#include "duilib/UIResource.h"
#include "platform/window/message_loop.h"

namespace DuiLib {

namespace {

struct PngBytes {
    std::span<const uint8_t> data;
    size_t pos = 0;
};

cairo_status_t ReadPngBytes(void* closure, unsigned char* out, unsigned int length) {
    auto* src = static_cast<PngBytes*>(closure);
    if (src->data.size() - src->pos < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(out, src->data.data() + src->pos, length);
    src->pos += length;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

CWindowWnd::~CWindowWnd() { DestroyNativeWindow(); }

void CWindowWnd::DestroyNativeWindow() {
    HWND hwnd = std::exchange(m_hWnd, nullptr);
    if (!hwnd || !IsWindow(hwnd)) return;
    // The object is going away: the window must not call back into it.
    SetWindowUserData(hwnd, nullptr);
    platform::DestroyWindow(hwnd);
}

HWND CWindowWnd::Create(HWND parent, std::u16string_view name, DWORD style, DWORD exStyle, int x, int y, int cx,
                        int cy, void*) {
    if (m_hWnd && IsWindow(m_hWnd)) return nullptr;
    m_hWnd = nullptr;
    std::u16string className(GetWindowClassName());
    platform::CreateWindowParams p;
    p.className = className;
    p.title = name;
    p.proc = __WndProc;
    p.userData = this;
    p.owner = parent && IsWindow(parent) ? parent : nullptr;
    // Skinned windows draw their own title bar; they are shown only once
    // their controls exist.
    p.style = style & ~(WS_CAPTION | WS_VISIBLE);
    p.exStyle = exStyle;
    p.x = x;
    p.y = y;
    p.width = cx;
    p.height = cy;
    PrepareCreate(p);
    HWND hwnd = platform::CreateWindowW(p);
    if (!hwnd) {
        m_hWnd = nullptr;
        return nullptr;
    }
    m_hWnd = hwnd;
    if ((style & WS_VISIBLE) && ShowAfterCreate()) platform::ShowWindow(hwnd, SW_SHOWNORMAL);
    return hwnd;
}

void CWindowWnd::ShowWindow(bool show, bool takeFocus) {
    if (!m_hWnd) return;
    platform::ShowWindow(m_hWnd, show ? (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

UINT CWindowWnd::ShowModal() {
    if (!m_hWnd || !IsWindow(m_hWnd)) return 0;
    return static_cast<UINT>(platform::RunModalLoop(m_hWnd));
}

void CWindowWnd::Close(UINT ret) {
    if (m_hWnd && IsWindow(m_hWnd)) platform::PostMessageW(m_hWnd, WM_CLOSE, ret, 0);
}

void CWindowWnd::CenterWindow() {
    if (m_hWnd) platform::CenterWindow(m_hWnd);
}

void CWindowWnd::SetIcon(UINT res) {
    if (!m_hWnd) return;
    std::span<const uint8_t> data = FindResourceData(kIconResourceType, static_cast<int>(res));
    if (data.empty()) return;
    PngBytes src{data};
    cairo_surface_t* image = cairo_image_surface_create_from_png_stream(ReadPngBytes, &src);
    if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS) platform::SetWindowIcon(m_hWnd, image);
    cairo_surface_destroy(image);
}

LRESULT CWindowWnd::SendMessageW(UINT msg, WPARAM wParam, LPARAM lParam) {
    return m_hWnd ? platform::SendMessageW(m_hWnd, msg, wParam, lParam) : 0;
}

LRESULT CWindowWnd::PostMessageW(UINT msg, WPARAM wParam, LPARAM lParam) {
    return m_hWnd ? platform::PostMessageW(m_hWnd, msg, wParam, lParam) : 0;
}

void CWindowWnd::ResizeClient(int cx, int cy) {
    RECT rc;
    if (!m_hWnd || !GetWindowRect(m_hWnd, &rc)) return;
    platform::MoveWindow(m_hWnd, rc.left, rc.top, cx < 0 ? rc.Width() : cx, cy < 0 ? rc.Height() : cy);
}

LRESULT CWindowWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CWindowWnd::__WndProc(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<CWindowWnd*>(GetWindowUserData(hwnd));
    if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    // WM_CREATE arrives before CreateWindowW has returned the handle.
    if (!self->m_hWnd) self->m_hWnd = hwnd;
    if (msg == WM_NCDESTROY) {
        LRESULT r = self->HandleMessage(msg, wParam, lParam);
        self->m_hWnd = nullptr;
        SetWindowUserData(hwnd, nullptr);
        self->OnFinalMessage(hwnd);
        return r;
    }
    // Close(ret) ends a modal loop with ret, whatever the window then does
    // with the close request.
    if (msg == WM_CLOSE && IsModalRunning(hwnd)) EndModal(hwnd, static_cast<int>(wParam));
    LRESULT result = 0;
    if (self->PreFilterMessage(msg, wParam, lParam, result)) return result;
    return self->HandleMessage(msg, wParam, lParam);
}

}  // namespace DuiLib
