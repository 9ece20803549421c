#include "win32_client_window.h"

namespace tavlin_client {

namespace {

constexpr wchar_t kWindowClass[] = L"vostrapanel";
constexpr wchar_t kTitle[] = L"tavlin";
constexpr int kWidth = 320;
constexpr int kHeight = 200;

// WM_CLOSE destroys the window (the default); no WM_QUIT follows, so the
// client goes on without it.
LRESULT CALLBACK ClientWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

ClientWindow::~ClientWindow() {
    if (window_ && ::IsWindow(window_)) ::DestroyWindow(window_);
    if (registered_) ::UnregisterClassW(kWindowClass, instance_);
}

bool ClientWindow::Open(HINSTANCE instance) {
    if (window_) return false;
    instance_ = instance;
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = ClientWindowProc;
    cls.hInstance = instance;
    cls.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    cls.lpszClassName = kWindowClass;
    if (!::RegisterClassExW(&cls)) return false;
    registered_ = true;
    window_ = ::CreateWindowExW(0, kWindowClass, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, kWidth,
                                kHeight, nullptr, nullptr, instance, nullptr);
    if (!window_) return false;
    ::ShowWindow(window_, SW_SHOWNORMAL);
    ::UpdateWindow(window_);
    return true;
}

}  // namespace tavlin_client
