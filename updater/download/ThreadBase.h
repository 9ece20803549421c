// ThreadBase: the base of objects that own one worker thread running Run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// A manual-reset event: stays set until reset. Any thread.
class ManualEvent {
public:
    explicit ManualEvent(bool signalled) : signalled_(signalled) {}
    void Set();
    void Reset();
    // True when the event is (or becomes) set within `ms` milliseconds.
    bool Wait(uint32_t ms) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool signalled_;
};

class ThreadBase {
public:
    ThreadBase() = default;
    // Joins a worker that is still running. A derived class whose Run uses
    // its own members must call JoinWorker in its destructor, after asking
    // Run to return.
    virtual ~ThreadBase();
    ThreadBase(const ThreadBase&) = delete;
    ThreadBase& operator=(const ThreadBase&) = delete;

    virtual void Run() = 0;

    // Starts the worker once; later calls do nothing. A thread that cannot
    // be created is not reported (doneEvent stays set). Owner's thread.
    void Start();

    // True when Run has returned, or was never started, within `ms`.
    bool WaitDone(uint32_t ms) const { return doneEvent.Wait(ms); }

    // Kernel id of the worker thread; 0 before it runs.
    uint32_t ThreadId() const { return threadId.load(); }

protected:
    // Waits for the worker to end. Owner's thread; no-op without a worker.
    void JoinWorker();

private:
    static void ThreadEntry(ThreadBase* self);

    std::atomic<uint32_t> threadId{0};
    // Guards threadHandle: the job may be released on another thread than
    // the one that started it.
    std::mutex handleMutex;
    std::thread threadHandle;
    ManualEvent doneEvent{true};
};
