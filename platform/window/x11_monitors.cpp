#include "x11_monitors.h"

#include <X11/extensions/Xrandr.h>

#include <vector>

#include "monitors.h"

namespace platform::x11 {

Rect PointerMonitor(Display* dpy, int screen) {
    const Window root = RootWindow(dpy, screen);
    const Rect whole{0, 0, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen)};
    Point pointer{whole.Width() / 2, whole.Height() / 2};
    Window rootRet, child;
    int wx, wy;
    unsigned mask;
    XQueryPointer(dpy, root, &rootRet, &child, &pointer.x, &pointer.y, &wx, &wy, &mask);

    int event = 0, error = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(dpy, &event, &error) || !XRRQueryVersion(dpy, &major, &minor) ||
        (major == 1 && minor < 5))
        return whole;
    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(dpy, root, True, &count);
    if (!info) return whole;
    std::vector<Rect> monitors;
    int primary = -1;
    for (int i = 0; i < count; ++i) {
        monitors.push_back(Rect{info[i].x, info[i].y, info[i].x + info[i].width, info[i].y + info[i].height});
        if (info[i].primary) primary = i;
    }
    XRRFreeMonitors(info);
    return detail::PickMonitor(monitors, primary, pointer, whole);
}

}  // namespace platform::x11
