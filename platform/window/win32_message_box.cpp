// MessageBoxW through the system's own box. Off-screen mode has no box.
#include "platform/window/automation.h"
#include "platform/window/message_box.h"
#include "platform/window/message_loop.h"
#include "platform/window/messages.h"
#include "platform/window/window.h"
#include "core.h"
#include "win32_native.h"

namespace platform {

namespace {

thread_local bool t_quitSeen = false;

// The core's queue keeps running under the box, as a system dialog's loop
// runs a thread's other windows: posted and sent messages, paints, timers.
// WM_QUIT stays queued for the loop outside the box.
void ServeCoreQueue() {
    if (t_quitSeen) return;
    Msg m;
    for (int i = 0; i < 64 && PeekMessageW(&m, nullptr, PM_REMOVE); ++i) {
        if (m.message == WM_QUIT) {
            t_quitSeen = true;
            PostQuitMessage(static_cast<int>(m.wParam));
            return;
        }
        TranslateMessage(m);
        DispatchMessageW(m);
    }
}

}  // namespace

int MessageBoxW(Hwnd owner, std::u16string_view text, std::u16string_view caption, unsigned type) {
    if (IsOffscreenMode() || !detail::CurrentBackend()) return 0;
    uintptr_t native = 0;
    bool ownerWasEnabled = false;
    if (detail::IsOwnWindow(owner)) {
        native = detail::NativeHandle(owner);
        ownerWasEnabled = IsWindowEnabled(owner);
        // The system disables the native owner; the core's record says so too.
        if (ownerWasEnabled) EnableWindow(owner, false);
    }
    const bool outerQuitSeen = t_quitSeen;
    t_quitSeen = false;
    int answer = win32::ShowSystemMessageBox(native, text, caption, (type & 0xF) == MB_OKCANCEL, ServeCoreQueue);
    t_quitSeen = outerQuitSeen;
    if (ownerWasEnabled && IsWindow(owner)) EnableWindow(owner, true);
    return answer == IDOK || answer == IDCANCEL ? answer : (answer ? IDCANCEL : 0);
}

}  // namespace platform
