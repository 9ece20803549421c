// Through a fiber-local slot's callback, which the system runs as the thread
// ends. Not a thread_local object: with mingw-w64's winpthreads, thread_local
// destructors run from a pthread key's destructor, in no fixed order with
// the one that frees the thread's emulated TLS, and could run on freed memory.
#include <windows.h>

#include "thread_exit.h"

namespace platform::detail {

namespace {

struct Hook {
    void (*fn)(void*);
    void* arg;
};

void WINAPI RunHook(void* data) {
    auto* hook = static_cast<Hook*>(data);
    if (!hook) return;
    hook->fn(hook->arg);
    delete hook;
}

DWORD Slot() {
    static const DWORD slot = ::FlsAlloc(RunHook);
    return slot;
}

}  // namespace

void CallAtThreadExit(void (*fn)(void*), void* arg) {
    const DWORD slot = Slot();
    if (slot == FLS_OUT_OF_INDEXES) return;
    delete static_cast<Hook*>(::FlsGetValue(slot));
    ::FlsSetValue(slot, new Hook{fn, arg});
}

}  // namespace platform::detail
