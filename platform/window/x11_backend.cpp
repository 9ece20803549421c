// X11 backend: one display connection per thread, windows presented from
// their back buffers through cairo-xlib.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <cairo-xlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/text.h"
#include "platform/window/messages.h"
#include "backend.h"
#include "card_shape.h"
#include "core.h"
#include "desktop_scale.h"
#include "x11_compositor.h"
#include "x11_keys.h"
#include "x11_monitors.h"

namespace platform {

namespace {

using namespace detail;

// Xlib's default handler ends the process on any protocol error; ours must
// survive a window destroyed behind its back (xdotool windowclose) or a focus
// request that races an unmap.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// A lost connection (the server ended) would otherwise print and end the
// process; the backend instead marks its display dead and closes its windows.
int QuietIOError(Display*) { return 0; }

std::once_flag g_xInit;
// Threads open and close their own connections; libXext keeps per-process
// lists of the connections each extension has seen and tears them down on
// close without a lock of its own, so two threads closing at once (a prompt's
// thread ending while the main thread exits) free the same list twice.
std::mutex g_connectionMutex;

constexpr long kEventMask = ExposureMask | KeyPressMask | KeyReleaseMask | ButtonPressMask |
                            ButtonReleaseMask | PointerMotionMask | LeaveWindowMask | StructureNotifyMask |
                            FocusChangeMask;

// _NET_WM_STATE actions.
constexpr long kStateRemove = 0;
constexpr long kStateAdd = 1;

struct Native {
    Hwnd hwnd = nullptr;
    Window win = 0;
    cairo_surface_t* xsurf = nullptr;
    bool mapped = false;
    bool withdrawn = true;  // not managed: _NET_WM_STATE is ours to write
    bool focusOnMap = false;
    bool argb = false;      // a 32-bit visual: alpha reaches a compositor
    // A card with a shadow; on a server without 32-bit visuals it gets an
    // opaque window, which is always cut to its card.
    bool layered = false;
    // Without a compositor an ARGB window is cut to its card; the runs it
    // was last cut to (nothing set yet when `shaped` is false).
    bool shaped = false;
    std::vector<Rect> shape;
    // Input goes to the card only, also while a compositor shows the shadow:
    // a click on the shadow reaches what is beneath it.
    bool inputShaped = false;
    std::vector<Rect> inputShape;
};

class X11Backend final : public Backend {
public:
    explicit X11Backend(Display* dpy)
        : dpy_(dpy), screen_(DefaultScreen(dpy)), root_(RootWindow(dpy, screen_)), compositor_(dpy, screen_) {
        const char* names[] = {"WM_PROTOCOLS", "WM_DELETE_WINDOW", "_NET_WM_NAME", "UTF8_STRING",
                               "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG",
                               "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE", "_NET_WM_STATE_ABOVE",
                               "_NET_WM_STATE_SKIP_TASKBAR", "_NET_ACTIVE_WINDOW", "_NET_WM_MOVERESIZE",
                               "_MOTIF_WM_HINTS", "_NET_WM_PID", "_NET_WM_ICON_NAME", "_NET_WM_PING",
                               "_NET_WM_ICON"};
        static_assert(sizeof names / sizeof names[0] == kAtomCount);
        XInternAtoms(dpy_, const_cast<char**>(names), kAtomCount, False, atoms_);
        wmSelection_ = XInternAtom(dpy_, ("WM_S" + std::to_string(screen_)).c_str(), False);
        XSetIOErrorExitHandler(dpy_, &X11Backend::OnConnectionLost, this);
        int event = 0, error = 0;
        hasShape_ = XShapeQueryExtension(dpy_, &event, &error);
        const char* resources = XResourceManagerString(dpy_);
        scale_ = detail::DesktopScale(resources ? resources : "", std::getenv("GDK_SCALE"));
    }

    double Scale() const override { return scale_; }

    ~X11Backend() override {
        for (auto& [win, n] : natives_) {
            if (dead_) continue;  // see Pump
            if (n.xsurf) cairo_surface_destroy(n.xsurf);
            XDestroyWindow(dpy_, win);
        }
        natives_.clear();
        std::lock_guard<std::mutex> lock(g_connectionMutex);
        XCloseDisplay(dpy_);
    }

    int EventFd() const override { return dead_ ? -1 : ConnectionNumber(dpy_); }

    void Pump() override {
        while (!dead_ && XPending(dpy_) > 0) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            if (compositor_.Handle(ev)) {
                CompositorChanged();
                continue;
            }
            Handle(ev);
        }
        if (dead_ && !natives_.empty()) {
            // Every window lost its display: close them all, once. Their
            // cairo surfaces are left as they are: destroying one flushes it
            // to the lost display, which spins in Xlib for ever.
            std::vector<Hwnd> gone;
            for (auto& [win, n] : natives_) gone.push_back(n.hwnd);
            natives_.clear();
            for (Hwnd h : gone) OnNativeGone(h);
        }
    }

    void Flush() override {
        if (!dead_) XFlush(dpy_);
    }
    // Sending can read: while it waits to write, xcb also takes in what the
    // server sent (a DestroyNotify, say) and holds it where poll() on the
    // socket no longer sees it.
    bool EventsWaiting() override { return !dead_ && XPending(dpy_) > 0; }

    bool CreateNative(Hwnd hwnd) override {
        if (dead_) return false;
        Rect r;
        uint32_t style, exStyle;
        Window ownerWin = 0;
        std::u16string title, cls;
        {
            auto lock = CoreLock();
            r = hwnd->rect;
            style = hwnd->style;
            exStyle = hwnd->exStyle;
            if (IsLiveLocked(hwnd->owner)) ownerWin = static_cast<Window>(hwnd->owner->native);
            title = hwnd->title;
            cls = hwnd->className;
        }
        Visual* visual = DefaultVisual(dpy_, screen_);
        int depth = DefaultDepth(dpy_, screen_);
        Colormap cmap = CopyFromParent;
        XVisualInfo vi;
        if ((exStyle & WS_EX_LAYERED) && XMatchVisualInfo(dpy_, screen_, 32, TrueColor, &vi)) {
            visual = vi.visual;
            depth = 32;
            cmap = XCreateColormap(dpy_, root_, visual, AllocNone);
        }
        XSetWindowAttributes attrs{};
        attrs.background_pixmap = None;  // the back buffer paints everything
        attrs.border_pixel = 0;
        attrs.event_mask = kEventMask;
        attrs.colormap = cmap;
        unsigned long mask = CWBackPixmap | CWBorderPixel | CWEventMask;
        if (cmap != CopyFromParent) mask |= CWColormap;
        const Rect d = Dev(r);
        Window win = XCreateWindow(dpy_, root_, d.left, d.top, static_cast<unsigned>(d.Width()),
                                   static_cast<unsigned>(d.Height()), 0, depth, InputOutput, visual, mask, &attrs);
        if (!win) return false;

        Atom protocols[] = {atoms_[kDeleteWindow], atoms_[kPing]};
        XSetWMProtocols(dpy_, win, protocols, 2);

        std::string clsUtf8 = Utf16ToUtf8(cls);
        XClassHint classHint{const_cast<char*>(clsUtf8.c_str()), const_cast<char*>(clsUtf8.c_str())};
        XWMHints wmHints{};
        wmHints.flags = InputHint | StateHint;
        wmHints.input = True;
        wmHints.initial_state = NormalState;
        XSizeHints* size = XAllocSizeHints();
        size->flags = USPosition | PPosition | PSize;
        size->x = d.left;
        size->y = d.top;
        size->width = d.Width();
        size->height = d.Height();
        if (!(style & WS_THICKFRAME)) {
            size->flags |= PMinSize | PMaxSize;
            size->min_width = size->max_width = d.Width();
            size->min_height = size->max_height = d.Height();
        }
        XSetWMProperties(dpy_, win, nullptr, nullptr, nullptr, 0, size, &wmHints, &classHint);
        XFree(size);
        if (ownerWin) XSetTransientForHint(dpy_, win, ownerWin);

        bool dialog = (exStyle & WS_EX_DLGMODALFRAME) || ownerWin;
        Atom type = atoms_[dialog ? kTypeDialog : kTypeNormal];
        XChangeProperty(dpy_, win, atoms_[kWindowType], XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&type), 1);
        WriteInitialState(win, exStyle);
        if (!(style & WS_CAPTION)) {
            // Motif hints: flags = decorations, decorations = none.
            long motif[5] = {2, 0, 0, 0, 0};
            XChangeProperty(dpy_, win, atoms_[kMotifHints], atoms_[kMotifHints], 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(motif), 5);
        }
        long pid = static_cast<long>(getpid());
        XChangeProperty(dpy_, win, atoms_[kPid], XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&pid), 1);

        Native n;
        n.hwnd = hwnd;
        n.win = win;
        n.argb = depth == 32;
        n.layered = (exStyle & WS_EX_LAYERED) != 0;
        // Nothing shows until the first paint says where the card is.
        if (CutToCard(n)) SetShape(n, {});
        n.xsurf = cairo_xlib_surface_create(dpy_, win, visual, d.Width(), d.Height());
        natives_[win] = n;
        hwnd->native = win;
        SetTitle(hwnd, Utf16ToUtf8(title));
        return true;
    }

    void DestroyNative(Hwnd hwnd) override {
        Window win = static_cast<Window>(hwnd->native);
        hwnd->native = 0;
        auto it = natives_.find(win);
        if (it == natives_.end()) return;
        cairo_surface_t* xsurf = it->second.xsurf;
        natives_.erase(it);
        if (dead_) return;  // see Pump
        if (xsurf) cairo_surface_destroy(xsurf);
        XDestroyWindow(dpy_, win);
        // Once DestroyWindow returns the window is gone for every client:
        // a tool that searches for windows right after must not find it.
        XSync(dpy_, False);
    }

    void SetTitle(Hwnd hwnd, const std::string& utf8) override {
        if (dead_) return;
        Window win = static_cast<Window>(hwnd->native);
        auto* data = reinterpret_cast<const unsigned char*>(utf8.c_str());
        int len = static_cast<int>(utf8.size());
        XChangeProperty(dpy_, win, atoms_[kNetWmName], atoms_[kUtf8], 8, PropModeReplace, data, len);
        XChangeProperty(dpy_, win, atoms_[kNetWmIconName], atoms_[kUtf8], 8, PropModeReplace, data, len);
        // WM_NAME for older tools: Latin-1 text as STRING, anything else as
        // UTF8_STRING.
        bool ascii = true;
        for (unsigned char c : utf8) ascii = ascii && c < 0x80;
        XChangeProperty(dpy_, win, XA_WM_NAME, ascii ? XA_STRING : atoms_[kUtf8], 8, PropModeReplace, data, len);
    }

    void Show(Hwnd hwnd, bool activate) override {
        Native* n = Find(hwnd);
        if (!n) return;
        n->focusOnMap = activate;
        if (n->withdrawn) {
            // A window manager drops the state of a window it lets go of:
            // a window shown again asks for it anew.
            uint32_t exStyle;
            {
                auto lock = CoreLock();
                exStyle = hwnd->exStyle;
            }
            WriteInitialState(n->win, exStyle);
            n->withdrawn = false;
            if (!compositor_.Watching()) RefreshCompositor();
        }
        XMapRaised(dpy_, n->win);
        XFlush(dpy_);
    }

    void Hide(Hwnd hwnd) override {
        Native* n = Find(hwnd);
        if (!n) return;
        n->focusOnMap = false;
        n->withdrawn = true;
        XWithdrawWindow(dpy_, n->win, screen_);
        XFlush(dpy_);
    }

    void Minimize(Hwnd hwnd) override {
        if (Native* n = Find(hwnd)) XIconifyWindow(dpy_, n->win, screen_);
    }

    void MoveResize(Hwnd hwnd, const Rect& logical) override {
        Native* n = Find(hwnd);
        if (!n) return;
        const Rect r = Dev(logical);
        uint32_t style;
        {
            auto lock = CoreLock();
            style = hwnd->style;
        }
        if (!(style & WS_THICKFRAME)) {
            XSizeHints* size = XAllocSizeHints();
            size->flags = USPosition | PPosition | PSize | PMinSize | PMaxSize;
            size->x = r.left;
            size->y = r.top;
            size->width = size->min_width = size->max_width = r.Width();
            size->height = size->min_height = size->max_height = r.Height();
            XSetWMNormalHints(dpy_, n->win, size);
            XFree(size);
        }
        XMoveResizeWindow(dpy_, n->win, r.left, r.top, static_cast<unsigned>(r.Width()),
                          static_cast<unsigned>(r.Height()));
        cairo_xlib_surface_set_size(n->xsurf, r.Width(), r.Height());
    }

    void SetTopmost(Hwnd hwnd, bool topmost) override {
        Native* n = Find(hwnd);
        if (!n) return;
        if (!n->withdrawn) {
            // Managed (shown or minimised): the window manager owns the state.
            SendRootMessage(n->win, atoms_[kState],
                            {topmost ? kStateAdd : kStateRemove, static_cast<long>(atoms_[kStateAbove]), 0, 1, 0});
            if (topmost && n->mapped) XRaiseWindow(dpy_, n->win);
        } else {
            uint32_t exStyle;
            {
                auto lock = CoreLock();
                exStyle = hwnd->exStyle;
            }
            WriteInitialState(n->win, exStyle);
        }
    }

    void Activate(Hwnd hwnd) override {
        Native* n = Find(hwnd);
        if (!n) return;
        if (!n->mapped) {
            n->focusOnMap = true;
            return;
        }
        XRaiseWindow(dpy_, n->win);
        // A window manager honours _NET_ACTIVE_WINDOW; without one (a bare
        // X server) the focus request does it. Not both: a focus set at the
        // server's current time can make the server refuse the manager's
        // next focus change, made with an earlier event's time, and another
        // window activated from a task list then stays inactive (xfwm4).
        SendRootMessage(n->win, atoms_[kActiveWindow], {2, CurrentTime, 0, 0, 0});
        if (XGetSelectionOwner(dpy_, wmSelection_) == 0) XSetInputFocus(dpy_, n->win, RevertToParent, CurrentTime);
        XFlush(dpy_);
    }

    void BeginDrag(Hwnd hwnd, Point p) override {
        Native* n = Find(hwnd);
        if (!n) return;
        XUngrabPointer(dpy_, CurrentTime);
        // 8 = _NET_WM_MOVERESIZE_MOVE, button 1, source: application.
        SendRootMessage(n->win, atoms_[kMoveResize], {Dev(p.x), Dev(p.y), 8, 1, 1});
        XFlush(dpy_);
    }

    void Present(Hwnd hwnd, cairo_surface_t* back, const Rect& area) override {
        Native* n = Find(hwnd);
        if (!n || !n->xsurf || area.Empty()) return;
        cairo_t* cr = cairo_create(n->xsurf);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        if (CutToCard(*n) && hasShape_) {
            // The card is cut and flattened in device pixels.
            Rect d = Dev(area);
            d.right = std::min(d.right, cairo_image_surface_get_width(back));
            d.bottom = std::min(d.bottom, cairo_image_surface_get_height(back));
            if (d.Empty()) {
                cairo_destroy(cr);
                return;
            }
            std::vector<Rect> card = detail::CardRuns(back);
            SetInputShape(*n, card);
            SetShape(*n, std::move(card));
            cairo_surface_t* flat = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, d.Width(), d.Height());
            detail::FlattenCard(back, flat, d);
            cairo_set_source_surface(cr, flat, d.left, d.top);
            cairo_surface_destroy(flat);
            cairo_rectangle(cr, d.left, d.top, d.Width(), d.Height());
        } else {
            if (n->argb && hasShape_) SetInputShape(*n, detail::CardRuns(back));
            // The back buffer's device scale and this one cancel out: its
            // pixels are copied one to one.
            cairo_scale(cr, scale_, scale_);
            cairo_set_source_surface(cr, back, 0, 0);
            cairo_rectangle(cr, area.left, area.top, area.Width(), area.Height());
        }
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_surface_flush(n->xsurf);
        XFlush(dpy_);
    }

    void SetIcon(Hwnd hwnd, cairo_surface_t* image) override {
        Native* n = Find(hwnd);
        if (!n || !image) return;
        // _NET_WM_ICON: width, height, then ARGB pixels, each in a long.
        cairo_surface_t* argb = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(image),
                                                           cairo_image_surface_get_height(image));
        cairo_t* cr = cairo_create(argb);
        cairo_set_source_surface(cr, image, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(argb);
        int w = cairo_image_surface_get_width(argb), h = cairo_image_surface_get_height(argb);
        int stride = cairo_image_surface_get_stride(argb);
        const unsigned char* data = cairo_image_surface_get_data(argb);
        std::vector<long> prop;
        prop.reserve(2 + static_cast<size_t>(w) * static_cast<size_t>(h));
        prop.push_back(w);
        prop.push_back(h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                prop.push_back(static_cast<long>(*reinterpret_cast<const uint32_t*>(data + y * stride + x * 4)));
        cairo_surface_destroy(argb);
        XChangeProperty(dpy_, n->win, atoms_[kIcon], XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(prop.data()), static_cast<int>(prop.size()));
    }

    bool CursorPos(Point* p) override {
        if (dead_) return false;
        Window rootRet, child;
        int rx, ry, wx, wy;
        unsigned mask;
        if (!XQueryPointer(dpy_, root_, &rootRet, &child, &rx, &ry, &wx, &wy, &mask)) return false;
        *p = Point{Log(rx), Log(ry)};
        return true;
    }

    Rect ScreenRect() override {
        if (dead_) return Log(Rect{0, 0, DisplayWidth(dpy_, screen_), DisplayHeight(dpy_, screen_)});
        return Log(x11::PointerMonitor(dpy_, screen_));
    }

    uintptr_t FindForeign(const std::string& className) override {
        if (dead_) return 0;
        return FindClassBelow(root_, className, 0);
    }

    bool SetForeignOwner(Hwnd hwnd, uintptr_t owner) override {
        Native* n = Find(hwnd);
        XWindowAttributes attrs;
        // A window that is gone would leave a dangling hint.
        if (!n || !XGetWindowAttributes(dpy_, static_cast<Window>(owner), &attrs)) return false;
        XSetTransientForHint(dpy_, n->win, static_cast<Window>(owner));
        Atom type = atoms_[kTypeDialog];
        XChangeProperty(dpy_, n->win, atoms_[kWindowType], XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&type), 1);
        XFlush(dpy_);
        return true;
    }

    bool ForeignRect(uintptr_t window, Rect* rect) override {
        if (dead_) return false;
        Window win = static_cast<Window>(window);
        XWindowAttributes attrs;
        if (!XGetWindowAttributes(dpy_, win, &attrs) || attrs.map_state != IsViewable) return false;
        int x = 0, y = 0;
        Window child;
        if (!XTranslateCoordinates(dpy_, win, root_, 0, 0, &x, &y, &child)) return false;
        *rect = Log(Rect{x, y, x + attrs.width, y + attrs.height});
        return true;
    }

private:
    static void OnConnectionLost(Display*, void* self) { static_cast<X11Backend*>(self)->dead_ = true; }

    enum AtomIndex {
        kProtocols, kDeleteWindow, kNetWmName, kUtf8, kWindowType, kTypeDialog, kTypeNormal, kState,
        kStateAbove, kSkipTaskbar, kActiveWindow, kMoveResize, kMotifHints, kPid, kNetWmIconName, kPing,
        kIcon,
        kAtomCount
    };

    // Top-level windows are the root's children; a reparenting window
    // manager puts each in a frame (and some frames in a decoration window),
    // so windows without a class are searched two levels down. Children come
    // bottom first: the search goes top down, as the stacking shows them.
    Window FindClassBelow(Window parent, const std::string& className, int depth) {
        Window rootRet = 0, parentRet = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy_, parent, &rootRet, &parentRet, &children, &count)) return 0;
        std::unique_ptr<Window, XFreeDeleter> owned(children);
        for (unsigned i = count; i-- > 0;) {
            Window w = children[i];
            XClassHint hint{};
            // A window that vanished meanwhile fails here (the error is ignored).
            if (XGetClassHint(dpy_, w, &hint)) {
                bool match = (hint.res_name && className == hint.res_name) ||
                             (hint.res_class && className == hint.res_class);
                XFree(hint.res_name);
                XFree(hint.res_class);
                if (match && !IsOwnProcess(w)) return w;
                continue;  // a client window: what it holds is not top-level
            }
            if (depth < 2) {
                if (Window found = FindClassBelow(w, className, depth + 1)) return found;
            }
        }
        return 0;
    }

    bool IsOwnProcess(Window w) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy_, w, atoms_[kPid], 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                               &data) != Success)
            return false;
        std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
        return data && format == 32 && count == 1 && *reinterpret_cast<long*>(data) == static_cast<long>(getpid());
    }

    struct XFreeDeleter {
        void operator()(void* p) const {
            if (p) XFree(p);
        }
    };

    // The states a window asks for when it is mapped; the window manager
    // owns the property while the window is managed.
    void WriteInitialState(Window win, uint32_t exStyle) {
        Atom states[2];
        int count = 0;
        if (exStyle & WS_EX_TOPMOST) states[count++] = atoms_[kStateAbove];
        if ((exStyle & WS_EX_TOOLWINDOW) && !(exStyle & WS_EX_APPWINDOW)) states[count++] = atoms_[kSkipTaskbar];
        if (count)
            XChangeProperty(dpy_, win, atoms_[kState], XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(states), count);
        else
            XDeleteProperty(dpy_, win, atoms_[kState]);
    }

    // A window withdrawn and shown again at once can be managed before the
    // window manager has let go of it, which drops the state the window
    // asked for; once mapped (managed) a topmost window without the state
    // asks for it by message.
    void KeepAbove(Native& n) {
        uint32_t exStyle;
        {
            auto lock = CoreLock();
            exStyle = n.hwnd->exStyle;
        }
        if (!(exStyle & WS_EX_TOPMOST) || HasState(n.win, atoms_[kStateAbove])) return;
        SendRootMessage(n.win, atoms_[kState], {kStateAdd, static_cast<long>(atoms_[kStateAbove]), 0, 1, 0});
    }

    bool HasState(Window win, Atom state) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy_, win, atoms_[kState], 0, 64, False, XA_ATOM, &type, &format, &count, &after,
                               &data) != Success)
            return false;
        std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
        if (!data || format != 32) return false;
        const auto* atoms = reinterpret_cast<const long*>(data);
        for (unsigned long i = 0; i < count; ++i)
            if (static_cast<Atom>(atoms[i]) == state) return true;
        return false;
    }

    // Cuts the window to `runs` (YX-banded); the server is asked only when
    // the card changed.
    void SetShape(Native& n, std::vector<Rect> runs) {
        if (!hasShape_ || (n.shaped && runs == n.shape)) return;
        CombineShape(n.win, ShapeBounding, runs);
        n.shaped = true;
        n.shape = std::move(runs);
    }

    void SetInputShape(Native& n, std::vector<Rect> runs) {
        if (!hasShape_ || (n.inputShaped && runs == n.inputShape)) return;
        CombineShape(n.win, ShapeInput, runs);
        n.inputShaped = true;
        n.inputShape = std::move(runs);
    }

    void CombineShape(Window win, int kind, const std::vector<Rect>& runs) {
        std::vector<XRectangle> rects;
        rects.reserve(runs.size());
        for (const Rect& r : runs)
            rects.push_back(XRectangle{static_cast<short>(r.left), static_cast<short>(r.top),
                                       static_cast<unsigned short>(r.Width()),
                                       static_cast<unsigned short>(r.Height())});
        XShapeCombineRectangles(dpy_, win, kind, 0, 0, rects.data(), static_cast<int>(rects.size()), ShapeSet,
                                YXBanded);
    }

    void Unshape(Native& n) {
        if (!n.shaped) return;
        XShapeCombineMask(dpy_, n.win, ShapeBounding, 0, 0, 0, ShapeSet);
        n.shaped = false;
        n.shape.clear();
    }

    // Without a compositor (or without a visual it could blend) the
    // transparent shadow would show as a black frame.
    bool CutToCard(const Native& n) const { return n.layered && (!n.argb || !compositor_.Running()); }

    void RefreshCompositor() {
        bool was = compositor_.Running();
        compositor_.Refresh();
        if (was != compositor_.Running()) CompositorChanged();
    }

    // A compositor came or went: ARGB windows switch between their shadow
    // and their card, and show their picture again in the new way.
    void CompositorChanged() {
        for (auto& [win, n] : natives_) {
            if (!n.argb) continue;
            if (compositor_.Running()) Unshape(n);
            Hwnd hwnd = n.hwnd;
            Rect client;
            {
                auto lock = CoreLock();
                client = Rect{0, 0, hwnd->rect.Width(), hwnd->rect.Height()};
            }
            if (hwnd->painted && hwnd->surface)
                Present(hwnd, hwnd->surface, client);
            else if (!compositor_.Running())
                SetShape(n, {});
        }
        XFlush(dpy_);
    }

    // Layout pixels <-> device pixels.
    int Dev(int v) const { return static_cast<int>(std::lround(v * scale_)); }
    int Log(int v) const { return static_cast<int>(std::lround(v / scale_)); }
    Rect Dev(const Rect& r) const { return Rect{Dev(r.left), Dev(r.top), Dev(r.right), Dev(r.bottom)}; }
    Rect Log(const Rect& r) const { return Rect{Log(r.left), Log(r.top), Log(r.right), Log(r.bottom)}; }
    // Every layout pixel that a device area touches.
    Rect LogOut(const Rect& r) const {
        return Rect{static_cast<int>(std::floor(r.left / scale_)), static_cast<int>(std::floor(r.top / scale_)),
                    static_cast<int>(std::ceil(r.right / scale_)), static_cast<int>(std::ceil(r.bottom / scale_))};
    }

    Native* Find(Hwnd hwnd) {
        if (dead_) return nullptr;
        auto it = natives_.find(static_cast<Window>(hwnd->native));
        return it == natives_.end() ? nullptr : &it->second;
    }

    void SendRootMessage(Window win, Atom type, std::initializer_list<long> data) {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = win;
        ev.xclient.message_type = type;
        ev.xclient.format = 32;
        int i = 0;
        for (long v : data) ev.xclient.data.l[i++] = v;
        XSendEvent(dpy_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    }

    static uintptr_t KeyState(unsigned state) {
        uintptr_t s = 0;
        if (state & Button1Mask) s |= MK_LBUTTON;
        if (state & Button2Mask) s |= MK_MBUTTON;
        if (state & Button3Mask) s |= MK_RBUTTON;
        if (state & ShiftMask) s |= MK_SHIFT;
        if (state & ControlMask) s |= MK_CONTROL;
        return s;
    }

    // Message times use the monotonic clock as GetTickCount does, not the
    // server's clock.
    static Msg Make(unsigned message, WPARAM w, LPARAM l, int xRoot, int yRoot) {
        Msg m;
        m.message = message;
        m.wParam = w;
        m.lParam = l;
        m.pt = Point{xRoot, yRoot};
        m.time = NowMs();
        return m;
    }

    void Handle(XEvent& ev) {
        auto it = natives_.find(ev.xany.window);
        if (it == natives_.end()) return;
        Native& n = it->second;
        Hwnd hwnd = n.hwnd;
        switch (ev.type) {
        case Expose: {
            const XExposeEvent& e = ev.xexpose;
            OnNativeExpose(hwnd, LogOut(Rect{e.x, e.y, e.x + e.width, e.y + e.height}));
            break;
        }
        case ConfigureNotify: {
            const XConfigureEvent& e = ev.xconfigure;
            int x = e.x, y = e.y;
            if (!e.send_event) {
                // A real event is relative to the parent (the window
                // manager's frame); the screen position is what callers want.
                Window child;
                XTranslateCoordinates(dpy_, n.win, root_, 0, 0, &x, &y, &child);
            }
            cairo_xlib_surface_set_size(n.xsurf, e.width, e.height);
            OnNativeGeometry(hwnd, Log(Rect{x, y, x + e.width, y + e.height}));
            break;
        }
        case MapNotify:
            n.mapped = true;
            KeepAbove(n);
            OnNativeIconic(hwnd, false);
            if (n.focusOnMap) {
                n.focusOnMap = false;
                Activate(hwnd);
            }
            break;
        case UnmapNotify:
            n.mapped = false;
            break;
        case FocusIn:
            if (ev.xfocus.detail != NotifyPointer && ev.xfocus.detail != NotifyInferior) OnNativeFocus(hwnd, true);
            break;
        case FocusOut:
            if (ev.xfocus.detail != NotifyPointer && ev.xfocus.detail != NotifyInferior) OnNativeFocus(hwnd, false);
            break;
        case KeyPress:
        case KeyRelease: {
            XKeyEvent& e = ev.xkey;
            char buf[16];
            KeySym sym = NoSymbol;
            XLookupString(&e, buf, sizeof buf, &sym, nullptr);
            unsigned vk = x11::KeysymToVk(sym);
            bool down = ev.type == KeyPress;
            LPARAM lp = static_cast<LPARAM>(1u | (e.keycode << 16) | (down ? 0u : 0xC0000000u));
            Msg m = Make(down ? WM_KEYDOWN : WM_KEYUP, vk, lp, Log(e.x_root), Log(e.y_root));
            if (down && !(e.state & (ControlMask | Mod1Mask))) m.character = x11::KeysymToChar(sym);
            if (vk || m.character) PostInput(hwnd, m);
            break;
        }
        case ButtonPress:
        case ButtonRelease: {
            const XButtonEvent& e = ev.xbutton;
            bool down = ev.type == ButtonPress;
            if (e.button == Button4 || e.button == Button5) {
                if (!down) break;
                int delta = e.button == Button4 ? 120 : -120;
                WPARAM w = (static_cast<WPARAM>(static_cast<uint16_t>(delta)) << 16) | KeyState(e.state);
                const int x = Log(e.x_root), y = Log(e.y_root);
                PostInput(hwnd, Make(WM_MOUSEWHEEL, w, MakeLParam(x, y), x, y));
                break;
            }
            unsigned message;
            uintptr_t buttonMask;
            switch (e.button) {
            case Button1: message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP; buttonMask = MK_LBUTTON; break;
            case Button2: message = down ? WM_MBUTTONDOWN : WM_MBUTTONUP; buttonMask = MK_MBUTTON; break;
            case Button3: message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP; buttonMask = MK_RBUTTON; break;
            default: return;
            }
            // The state is from before the event: add a pressed button,
            // drop a released one.
            uintptr_t keys = KeyState(e.state);
            keys = down ? (keys | buttonMask) : (keys & ~buttonMask);
            PostInput(hwnd, Make(message, keys, MakeLParam(Log(e.x), Log(e.y)), Log(e.x_root), Log(e.y_root)));
            break;
        }
        case MotionNotify: {
            // Only the latest position of a burst matters.
            while (XCheckTypedWindowEvent(dpy_, n.win, MotionNotify, &ev)) {
            }
            const XMotionEvent& e = ev.xmotion;
            PostInput(hwnd, Make(WM_MOUSEMOVE, KeyState(e.state), MakeLParam(Log(e.x), Log(e.y)), Log(e.x_root),
                                 Log(e.y_root)));
            break;
        }
        case LeaveNotify:
            if (ev.xcrossing.mode == NotifyNormal)
                PostInput(hwnd, Make(WM_MOUSELEAVE, 0, 0, Log(ev.xcrossing.x_root), Log(ev.xcrossing.y_root)));
            break;
        case ClientMessage: {
            const XClientMessageEvent& e = ev.xclient;
            if (e.message_type != atoms_[kProtocols]) break;
            Atom what = static_cast<Atom>(e.data.l[0]);
            if (what == atoms_[kDeleteWindow]) {
                OnNativeCloseRequest(hwnd);
            } else if (what == atoms_[kPing]) {
                XEvent reply = ev;
                reply.xclient.window = root_;
                XSendEvent(dpy_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &reply);
            }
            break;
        }
        case DestroyNotify:
            // Destroyed by someone else (our own destruction forgets the
            // window first): the window is closed as if asked to.
            if (ev.xdestroywindow.window != n.win) break;
            if (n.xsurf) cairo_surface_destroy(n.xsurf);
            natives_.erase(it);
            OnNativeGone(hwnd);
            break;
        default:
            break;
        }
    }

    Display* dpy_;
    int screen_;
    Window root_;
    Atom atoms_[kAtomCount];
    Atom wmSelection_ = 0;  // WM_Sn: owned by the screen's window manager
    x11::CompositorWatch compositor_;
    bool hasShape_ = false;
    double scale_ = 1;
    std::unordered_map<Window, Native> natives_;
    bool dead_ = false;
};

}  // namespace

std::unique_ptr<Backend> CreateDisplayBackend() {
    std::call_once(g_xInit, [] {
        XInitThreads();
        XSetErrorHandler(IgnoreXError);
        XSetIOErrorHandler(QuietIOError);
    });
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    Display* dpy = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_connectionMutex);
        dpy = XOpenDisplay(nullptr);
    }
    if (!dpy) return nullptr;
    // Children the programs start must not inherit the connection.
    fcntl(ConnectionNumber(dpy), F_SETFD, FD_CLOEXEC);
    return std::make_unique<X11Backend>(dpy);
}

}  // namespace platform
