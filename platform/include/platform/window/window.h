// Windows: creation, destruction and properties.
//
// A window belongs to the thread that created it: its procedure runs there,
// its messages, timers and paints are delivered by that thread's message loop
// (message_loop.h), and on X11 it lives on that thread's own display
// connection. The query functions (IsWindow, GetWindowTextW, GetWindowRect,
// IsWindowVisible, ...) may be called from any thread. The functions that
// change a window, called from another thread, are carried out on the
// window's thread while the caller waits (as SendMessageW does); those
// marked "window's thread" (in paint.h) must be called there. Windows still
// alive when their thread ends are freed without WM_DESTROY.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/window/messages.h"
#include "platform/window/types.h"

namespace platform {

struct CreateWindowParams {
    std::u16string_view className;  // WM_CLASS on X11; FindWindowW matches it
    std::u16string_view title;      // the window text: the X title (UTF-8)
    WndProc proc = nullptr;         // required
    void* userData = nullptr;       // GetWindowUserData; set before WM_CREATE
    Hwnd owner = nullptr;           // kept above its owner; disabled by modal loops
    uint32_t style = WS_OVERLAPPEDWINDOW;  // WS_VISIBLE shows it at once; no
                                            // WS_CAPTION means undecorated
    uint32_t exStyle = 0;           // WS_EX_TOPMOST, WS_EX_LAYERED, WS_EX_DLGMODALFRAME, ...
    int x = CW_USEDEFAULT;          // screen position; CW_USEDEFAULT centres
    int y = CW_USEDEFAULT;          // (on the owner when there is one)
    int width = CW_USEDEFAULT;      // CW_USEDEFAULT: 400 x 300
    int height = CW_USEDEFAULT;
};

// Creates a window on the calling thread and sends it WM_CREATE (lParam
// points at the params). Returns nullptr, without a crash or a hang, when
// there is no display and off-screen mode is off, when the display refuses
// the window, when proc is missing, or when WM_CREATE answers -1.
Hwnd CreateWindowW(const CreateWindowParams& params);

// Sends WM_DESTROY, destroys the windows it owns first, ends a modal loop
// running for it, kills its timers and frees it. From another thread the
// call is carried out on the window's thread and waits for it. False for a
// window that is already gone.
bool DestroyWindow(Hwnd hwnd);

// Whether hwnd is a live window. Any thread.
bool IsWindow(Hwnd hwnd);

// The default handling: WM_CLOSE destroys the window, WM_SYSCOMMAND
// SC_CLOSE sends WM_CLOSE and SC_MINIMIZE minimises, WM_PAINT validates,
// WM_NCHITTEST answers HTCLIENT; everything else answers 0.
LRESULT DefWindowProcW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);

// Per-window pointer for the procedure's owner. Any thread.
void* GetWindowUserData(Hwnd hwnd);
void SetWindowUserData(Hwnd hwnd, void* data);

// Title (UTF-16); the X title follows at once.
bool SetWindowTextW(Hwnd hwnd, std::u16string_view text);
std::u16string GetWindowTextW(Hwnd hwnd);
std::u16string GetClassNameW(Hwnd hwnd);

// Geometry. Window rect in screen coordinates; the client rect is the same
// size at (0, 0) (no non-client area: frames belong to the window manager).
bool GetWindowRect(Hwnd hwnd, Rect* rect);
bool GetClientRect(Hwnd hwnd, Rect* rect);
// Moves and resizes; a new size sends WM_SIZE and repaints.
bool MoveWindow(Hwnd hwnd, int x, int y, int width, int height, bool repaint = true);
// Centres on the owner, or on the screen when there is none.
bool CenterWindow(Hwnd hwnd);
// The screen (work area) the windows live on.
Rect GetScreenRect();

// Visibility: SW_HIDE, SW_SHOW, SW_SHOWNORMAL, SW_SHOWNOACTIVATE, SW_SHOWNA,
// SW_MINIMIZE, SW_SHOWMINIMIZED, SW_RESTORE. Sends WM_SHOWWINDOW when the
// visibility changes. Returns whether the window was visible before.
bool ShowWindow(Hwnd hwnd, int cmd);
bool IsWindowVisible(Hwnd hwnd);
bool IsIconic(Hwnd hwnd);

// Raises the window and gives it keyboard focus.
bool SetForegroundWindow(Hwnd hwnd);
// The window of the calling thread that has keyboard focus, or nullptr.
Hwnd GetFocusWindow();

// Keeps the window above normal windows, or not.
bool SetWindowTopmost(Hwnd hwnd, bool topmost);
uint32_t GetWindowStyle(Hwnd hwnd);
uint32_t GetWindowExStyle(Hwnd hwnd);

// A disabled window gets no keyboard or mouse input and no close requests.
// Sends WM_ENABLE when the state changes; returns whether it was disabled.
// Any thread.
bool EnableWindow(Hwnd hwnd, bool enable);
bool IsWindowEnabled(Hwnd hwnd);

Hwnd GetWindowOwner(Hwnd hwnd);

// The window's icon for task bars and switchers (copied).
bool SetWindowIcon(Hwnd hwnd, cairo_surface_t* image);

// The pointer position in screen coordinates (off-screen: where the latest
// synthetic mouse input was). False when unknown.
bool GetCursorPos(Point* p);
// Client coordinates of hwnd <-> screen coordinates. Any thread.
bool ScreenToClient(Hwnd hwnd, Point* p);
bool ClientToScreen(Hwnd hwnd, Point* p);

// Named places in a window (a button, a control), for automation: tests
// click "OK" instead of a computed point. The locator runs on the window's
// thread and answers the client rect of a name, or nothing.
using RegionLocator = std::function<std::optional<Rect>(std::u16string_view name)>;
void SetRegionLocator(Hwnd hwnd, RegionLocator locator);

}  // namespace platform
