#include "x11_compositor.h"

#include <X11/extensions/Xfixes.h>

#include <string>

namespace platform::x11 {

CompositorWatch::CompositorWatch(Display* dpy, int screen) : dpy_(dpy) {
    std::string name = "_NET_WM_CM_S" + std::to_string(screen);
    selection_ = XInternAtom(dpy_, name.c_str(), False);
    int event = 0, error = 0;
    if (XFixesQueryExtension(dpy_, &event, &error)) {
        fixesEvent_ = event;
        XFixesSelectSelectionInput(dpy_, RootWindow(dpy_, screen), selection_,
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
    }
    Refresh();
}

bool CompositorWatch::Handle(const XEvent& ev) {
    if (fixesEvent_ < 0 || ev.type != fixesEvent_ + XFixesSelectionNotify) return false;
    const auto& e = reinterpret_cast<const XFixesSelectionNotifyEvent&>(ev);
    if (e.selection != selection_) return false;
    running_ = e.subtype == XFixesSetSelectionOwnerNotify && e.owner != 0;
    return true;
}

void CompositorWatch::Refresh() { running_ = XGetSelectionOwner(dpy_, selection_) != 0; }

}  // namespace platform::x11
