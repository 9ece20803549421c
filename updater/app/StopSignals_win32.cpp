// Windows: the stop requests a windowed program gets are the session's end
// (WM_QUERYENDSESSION / WM_ENDSESSION) and a polite close from outside
// (taskkill without /f sends WM_CLOSE to each top-level window), both to a
// hidden top-level window of this thread's own; a console the program was
// started from adds Ctrl+C, Ctrl+Break and its closing (a console control
// handler). Each asks the loop thread to quit, as a stop signal does on
// Linux, and the process ends at once after the grace period or at a
// second request.
#include <windows.h>

#include <chrono>

#include "app/StopSignals.h"
#include "app/StopSignalsLoop.h"

namespace {

std::atomic<bool> g_stopping{false};
std::atomic<bool> g_ending{false};

constexpr wchar_t kWindowClass[] = L"TavlinUpdaterStopWindow";

// Asks the loop to quit and waits, up to the grace period, for the program
// to end by itself; then, or at a second request, it ends here.
void StopRequested() {
    if (g_stopping.exchange(true) || !RequestLoopQuit()) ::ExitProcess(0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StopSignals::kGraceMs);
    while (!g_ending && std::chrono::steady_clock::now() < deadline) ::Sleep(20);
    if (!g_ending) ::ExitProcess(0);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            StopRequested();
            return TRUE;
        default:
            return FALSE;
    }
}

LRESULT CALLBACK StopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam) StopRequested();
            return 0;
        case WM_CLOSE:
            StopRequested();
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

StopSignals::StopSignals() {
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    thread_ = std::thread(&StopSignals::Wait, this);
}

StopSignals::~StopSignals() {
    ending_ = true;
    g_ending = true;
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    thread_.join();
}

void StopSignals::Wait() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = StopWindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);
    // Never shown: a top-level window that no taskbar lists.
    HWND window = ::CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    windowClass.hInstance, nullptr);
    while (!ending_) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    if (window) ::DestroyWindow(window);
}
