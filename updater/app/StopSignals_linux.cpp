#include "app/StopSignals.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "app/StopSignalsLoop.h"

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// How often the signal thread looks whether the program is ending.
constexpr long kPollNs = 50L * 1000 * 1000;

}  // namespace

StopSignals::StopSignals() {
    sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread(&StopSignals::Wait, this);
}

StopSignals::~StopSignals() {
    ending_ = true;
    thread_.join();
}

void StopSignals::Wait() {
    const sigset_t set = StopSet();
    const timespec step{0, kPollNs};
    while (!ending_) {
        if (sigtimedwait(&set, nullptr, &step) <= 0) continue;
        if (!RequestLoopQuit()) _exit(0);
        // A second signal, or a step that does not let go, ends it at once.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMs);
        while (!ending_) {
            if (std::chrono::steady_clock::now() >= deadline || sigtimedwait(&set, nullptr, &step) > 0) _exit(0);
        }
    }
}
