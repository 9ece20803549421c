// The display-less backend: windows exist only as records and back buffers.
#include "backend.h"
#include "core.h"

namespace platform {

namespace {

// A fixed screen, large enough for every window of the programs.
constexpr Rect kScreen{0, 0, 1280, 1024};

class OffscreenBackend final : public Backend {
public:
    int EventFd() const override { return -1; }
    void Pump() override {}
    void Flush() override {}

    bool CreateNative(Hwnd hwnd) override {
        hwnd->native = ++lastId_;
        return true;
    }
    void DestroyNative(Hwnd hwnd) override { hwnd->native = 0; }
    void SetTitle(Hwnd, const std::string&) override {}
    void Show(Hwnd hwnd, bool activate) override {
        if (activate) Activate(hwnd);
    }
    void Hide(Hwnd hwnd) override { detail::OnNativeFocus(hwnd, false); }
    void Minimize(Hwnd hwnd) override { detail::OnNativeIconic(hwnd, true); }
    void MoveResize(Hwnd, const Rect&) override {}
    void SetTopmost(Hwnd, bool) override {}
    void Activate(Hwnd hwnd) override { detail::OnNativeFocus(hwnd, true); }
    void BeginDrag(Hwnd, Point) override {}
    void Present(Hwnd, cairo_surface_t*, const Rect&) override {}
    Rect ScreenRect() override { return kScreen; }
    void SetIcon(Hwnd, cairo_surface_t*) override {}
    bool CursorPos(Point* p) override { return detail::LastInputPoint(p); }

private:
    uintptr_t lastId_ = 0;
};

}  // namespace

std::unique_ptr<Backend> CreateOffscreenBackend() { return std::make_unique<OffscreenBackend>(); }

}  // namespace platform
