#include "x11_close.h"

#include <X11/Xlib.h>

namespace tavlin_window_test {

bool SendDeleteWindow(const std::string& display, unsigned long window) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy) return false;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    Status ok = XSendEvent(dpy, window, False, NoEventMask, &ev);
    XCloseDisplay(dpy);
    return ok != 0;
}

}  // namespace tavlin_window_test
