#include <windows.h>

#include "wake_signal.h"

namespace platform::detail {

// Auto-reset: a wait that returns for it clears it.
WakeSignal::WakeSignal() : handle_(reinterpret_cast<intptr_t>(::CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

WakeSignal::~WakeSignal() {
    if (handle_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void WakeSignal::Set() const { ::SetEvent(reinterpret_cast<HANDLE>(handle_)); }

void WakeSignal::Wait(Backend* backend, int timeoutMs) {
    HANDLE event = reinterpret_cast<HANDLE>(handle_);
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (!backend) {
        ::WaitForSingleObject(event, timeout);
        return;
    }
    // The display's events are the thread's own Win32 messages; input
    // already seen by an earlier peek but not yet pumped wakes it too.
    ::MsgWaitForMultipleObjectsEx(1, &event, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

}  // namespace platform::detail
