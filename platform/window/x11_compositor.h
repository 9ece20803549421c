// Whether a compositing manager runs on a screen: it owns the selection
// _NET_WM_CM_S<screen> while it runs. XFixes reports every change of owner,
// so windows can follow a compositor that starts or ends while they show.
#pragma once

#include <X11/Xlib.h>

namespace platform::x11 {

class CompositorWatch {
public:
    CompositorWatch(Display* dpy, int screen);

    bool Running() const { return running_; }
    // True when `ev` told of a new owner (or none); Running() follows it.
    bool Handle(const XEvent& ev);
    // Asks the server again; for servers without XFixes, which send no
    // events.
    void Refresh();
    bool Watching() const { return fixesEvent_ >= 0; }

private:
    Display* dpy_;
    Atom selection_;
    int fixesEvent_ = -1;
    bool running_ = false;
};

}  // namespace platform::x11
