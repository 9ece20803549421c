#include "client_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>

#include <cstdlib>
#include <string>

namespace tavlin_client {

namespace {

constexpr char kWindowClass[] = "vostrapanel";
constexpr char kTitle[] = "tavlin";
constexpr unsigned kWidth = 320;
constexpr unsigned kHeight = 200;

bool g_connectionLost = false;

// Xlib's default handlers end the process; the client outlives its window.
int IgnoreError(Display*, XErrorEvent*) { return 0; }
int NoteLostConnection(Display*) {
    g_connectionLost = true;
    return 0;
}
void KeepRunning(Display*, void*) { g_connectionLost = true; }

}  // namespace

struct ClientWindow::State {
    Display* dpy = nullptr;
    Window win = 0;
    Atom deleteWindow = 0;

    void Close() {
        if (!dpy) return;
        if (!g_connectionLost) {
            if (win) XDestroyWindow(dpy, win);
            XCloseDisplay(dpy);
        }
        // After a lost connection Xlib's state is unusable: the memory goes
        // with the process.
        dpy = nullptr;
        win = 0;
    }
};

ClientWindow::ClientWindow() : state_(std::make_unique<State>()) {}

ClientWindow::~ClientWindow() { state_->Close(); }

bool ClientWindow::Open() {
    const char* name = std::getenv("DISPLAY");
    if (state_->dpy || !name || !*name) return false;
    XSetErrorHandler(IgnoreError);
    XSetIOErrorHandler(NoteLostConnection);
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    XSetIOErrorExitHandler(dpy, KeepRunning, nullptr);
    // Programs the client starts must not inherit the connection.
    fcntl(ConnectionNumber(dpy), F_SETFD, FD_CLOEXEC);
    const int screen = DefaultScreen(dpy);
    Window win = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 0, 0, kWidth, kHeight, 0,
                                     BlackPixel(dpy, screen), WhitePixel(dpy, screen));
    std::string cls = kWindowClass;
    XClassHint hint{cls.data(), cls.data()};
    XSetClassHint(dpy, win, &hint);
    XStoreName(dpy, win, kTitle);
    state_->deleteWindow = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(dpy, win, &state_->deleteWindow, 1);
    XSelectInput(dpy, win, StructureNotifyMask);
    XMapWindow(dpy, win);
    XFlush(dpy);
    state_->dpy = dpy;
    state_->win = win;
    return true;
}

int ClientWindow::fd() const { return state_->dpy ? ConnectionNumber(state_->dpy) : -1; }

void ClientWindow::Pump() {
    Display* dpy = state_->dpy;
    if (!dpy) return;
    bool closed = false;
    while (!g_connectionLost && XPending(dpy) > 0) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == ClientMessage && static_cast<Atom>(ev.xclient.data.l[0]) == state_->deleteWindow) closed = true;
        if (ev.type == DestroyNotify && ev.xdestroywindow.window == state_->win) {
            state_->win = 0;
            closed = true;
        }
    }
    if (closed || g_connectionLost) state_->Close();
}

}  // namespace tavlin_client
