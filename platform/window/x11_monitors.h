// The monitors of a screen as RandR reports them (RandR 1.5 monitors, which
// a desktop may also define over parts of one output).
#pragma once

#include <X11/Xlib.h>

#include "platform/window/types.h"

namespace platform::x11 {

// The monitor that holds the pointer (see detail::PickMonitor); the whole
// screen without RandR 1.5.
Rect PointerMonitor(Display* dpy, int screen);

}  // namespace platform::x11
