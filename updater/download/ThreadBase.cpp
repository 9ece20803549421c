#include "download/ThreadBase.h"

#include <chrono>
#include <system_error>

#include "download/SystemThreadId.h"

void ManualEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

void ManualEvent::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

bool ManualEvent::Wait(uint32_t ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; });
}

ThreadBase::~ThreadBase() { JoinWorker(); }

void ThreadBase::Start() {
    std::lock_guard<std::mutex> lock(handleMutex);
    // A second Start leaves the event alone: resetting it after Run has
    // returned would make every later wait hang.
    if (threadHandle.joinable()) return;
    // Reset before the thread exists: a Run that ends at once must leave
    // the event set.
    doneEvent.Reset();
    try {
        threadHandle = std::thread(&ThreadBase::ThreadEntry, this);
    } catch (const std::system_error&) {
        doneEvent.Set();
    }
}

void ThreadBase::JoinWorker() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(handleMutex);
        if (!threadHandle.joinable() || threadHandle.get_id() == std::this_thread::get_id()) return;
        worker = std::move(threadHandle);
    }
    worker.join();
}

void ThreadBase::ThreadEntry(ThreadBase* self) {
    self->threadId = SystemThreadId();
    self->Run();
    self->doneEvent.Set();
}
