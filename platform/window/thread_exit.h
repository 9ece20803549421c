// A call made on a thread as it ends, after its own code returned.
#pragma once

namespace platform::detail {

// Runs fn(arg) on the calling thread when it ends. One per thread: a later
// call replaces the earlier one.
void CallAtThreadExit(void (*fn)(void*), void* arg);

}  // namespace platform::detail
