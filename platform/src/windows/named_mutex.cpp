#include "platform/named_mutex.h"

#include <windows.h>

#include "wide.h"

namespace platform {

bool NamedMutex::Create(const std::string& name) {
    Release();
    handle_.reset();
    if (name.empty()) return false;
    std::string safe = name;
    // A backslash would put the mutex into another namespace ("Global\").
    for (char& c : safe)
        if (c == '\\') c = '_';
    handle_.reset(::CreateMutexW(nullptr, FALSE, Wide(safe).c_str()));
    return handle_.valid();
}

bool NamedMutex::Acquire(int timeoutMs) {
    if (!handle_) return false;
    if (held_) return true;
    DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    DWORD r = ::WaitForSingleObject(handle_.get(), wait);
    // An abandoned mutex is ours now, like a lock whose holder died.
    held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    return held_;
}

bool NamedMutex::HeldElsewhere() {
    if (!handle_ || held_) return false;
    DWORD r = ::WaitForSingleObject(handle_.get(), 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
        ::ReleaseMutex(handle_.get());
        return false;
    }
    return r == WAIT_TIMEOUT;
}

void NamedMutex::Release() {
    if (held_ && handle_) ::ReleaseMutex(handle_.get());
    held_ = false;
}

}  // namespace platform
