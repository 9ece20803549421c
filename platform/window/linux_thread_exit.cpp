#include "thread_exit.h"

namespace platform::detail {

namespace {

struct Hook {
    void (*fn)(void*) = nullptr;
    void* arg = nullptr;
    ~Hook() {
        if (fn) fn(arg);
    }
};
thread_local Hook t_hook;

}  // namespace

void CallAtThreadExit(void (*fn)(void*), void* arg) {
    t_hook.fn = fn;
    t_hook.arg = arg;
}

}  // namespace platform::detail
