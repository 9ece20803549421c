#include <windows.h>

#include <string>

#include "win32_native.h"

namespace platform::win32 {

namespace {

constexpr UINT kServePeriodMs = 15;

thread_local void (*t_serve)() = nullptr;

void CALLBACK ServeTick(HWND, UINT, UINT_PTR, DWORD) {
    if (t_serve) t_serve();
}

// Restores the previous state when the box's loop ends, also by exception.
class ServingWhileModal {
public:
    explicit ServingWhileModal(void (*serve)()) : previous_(t_serve) {
        t_serve = serve;
        SuspendNativePump(true);
        if (serve) timer_ = ::SetTimer(nullptr, 0, kServePeriodMs, ServeTick);
    }
    ~ServingWhileModal() {
        if (timer_) ::KillTimer(nullptr, timer_);
        SuspendNativePump(false);
        t_serve = previous_;
    }
    ServingWhileModal(const ServingWhileModal&) = delete;
    ServingWhileModal& operator=(const ServingWhileModal&) = delete;

private:
    void (*previous_)();
    UINT_PTR timer_ = 0;
};

}  // namespace

int ShowSystemMessageBox(uintptr_t owner, std::u16string_view text, std::u16string_view caption, bool okCancel,
                         void (*serve)()) {
    const std::wstring wText(text.begin(), text.end());
    const std::wstring wCaption(caption.begin(), caption.end());
    UINT type = (okCancel ? MB_OKCANCEL : MB_OK) | MB_SETFOREGROUND;
    if (!owner) type |= MB_TASKMODAL;
    ServingWhileModal serving(serve);
    return ::MessageBoxW(reinterpret_cast<HWND>(owner), wText.c_str(), wCaption.c_str(), type);
}

}  // namespace platform::win32
