// The wake-up a thread's queue sleeps on: set by any thread that queues
// something for it, waited on by the queue's own thread together with its
// display's events.
#pragma once

#include <cstdint>

namespace platform {

class Backend;

namespace detail {

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread; setting an already set signal is harmless.
    void Set() const;
    // Sleeps until the signal is set, the backend has events (when given) or
    // timeoutMs passed (-1: no limit), and clears the signal.
    void Wait(Backend* backend, int timeoutMs);

private:
    intptr_t handle_;  // an eventfd on Linux, an event object on Windows
};

}  // namespace detail
}  // namespace platform
