// The seam between the window-system core and a display. One backend object
// per thread (X11: one display connection per thread); all calls come from
// that thread. Events go back to the core through the detail::OnNative*
// functions and detail::PostInput.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>

#include "platform/window/types.h"

namespace platform {

class Backend {
public:
    virtual ~Backend() = default;

    // A descriptor to poll for events; -1 when there are none.
    virtual int EventFd() const = 0;
    // Reads and reports every pending event without blocking.
    virtual void Pump() = 0;
    // Sends buffered requests before the thread sleeps.
    virtual void Flush() = 0;
    // Events already read from the display but not yet pumped: the thread
    // must not sleep on the descriptor then, which shows only new data.
    virtual bool EventsWaiting() { return false; }

    // The window record is filled in (rect, styles, title, owner); sets
    // hwnd->native. False when the display refuses the window.
    virtual bool CreateNative(Hwnd hwnd) = 0;
    virtual void DestroyNative(Hwnd hwnd) = 0;
    virtual void SetTitle(Hwnd hwnd, const std::string& utf8) = 0;
    virtual void Show(Hwnd hwnd, bool activate) = 0;
    virtual void Hide(Hwnd hwnd) = 0;
    virtual void Minimize(Hwnd hwnd) = 0;
    virtual void MoveResize(Hwnd hwnd, const Rect& rect) = 0;
    virtual void SetTopmost(Hwnd hwnd, bool topmost) = 0;
    virtual void Activate(Hwnd hwnd) = 0;
    // Lets the user drag the window from screen point p (button held).
    virtual void BeginDrag(Hwnd hwnd, Point p) = 0;
    // Shows `area` (client coordinates) of the back buffer.
    virtual void Present(Hwnd hwnd, cairo_surface_t* backBuffer, const Rect& area) = 0;
    virtual Rect ScreenRect() = 0;
    // The image shown for the window in task bars and switchers.
    virtual void SetIcon(Hwnd hwnd, cairo_surface_t* image) = 0;
    // The pointer position in screen coordinates; false when unknown.
    virtual bool CursorPos(Point* p) = 0;
    // Device pixels per layout pixel: windows, their back buffers and
    // everything drawn in them are this many times larger on the display.
    // Every other call speaks layout pixels.
    virtual double Scale() const { return 1; }

    // Windows of other programs (foreign.h). A backend without a shared
    // display has none.
    virtual uintptr_t FindForeign(const std::string& className) {
        (void)className;
        return 0;
    }
    virtual bool SetForeignOwner(Hwnd hwnd, uintptr_t owner) {
        (void)hwnd;
        (void)owner;
        return false;
    }
    // The foreign window's screen rect while it is shown.
    virtual bool ForeignRect(uintptr_t window, Rect* rect) {
        (void)window;
        (void)rect;
        return false;
    }
};

// The build's display: X11 on Linux, Win32 on Windows. nullptr when no
// display can be opened.
std::unique_ptr<Backend> CreateDisplayBackend();
std::unique_ptr<Backend> CreateOffscreenBackend();

}  // namespace platform
