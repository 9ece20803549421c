#include "app/StopSignalsLoop.h"

#include <atomic>

#include "app/StopSignals.h"
#include "platform/window/message_loop.h"
#include "platform/window/messages.h"

namespace {

std::atomic<platform::ThreadId> g_loopThread{0};
std::atomic<bool> g_requested{false};

}  // namespace

void StopSignals::NameLoopThread() { g_loopThread = platform::GetCurrentThreadId(); }

bool StopSignals::Requested() { return g_requested; }

bool RequestLoopQuit() {
    g_requested = true;
    const platform::ThreadId loop = g_loopThread.load();
    return loop && platform::PostThreadMessageW(loop, platform::WM_QUIT, 0, 0);
}
