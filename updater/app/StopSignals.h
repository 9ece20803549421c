// SIGTERM and SIGINT (a logout, a Ctrl+C) end the updater as closing its
// window does: the message loop ends, the window goes and takes the job with
// it (the download stops, its temporary file stays for the next run). The
// signals are blocked in every thread and taken by one thread of its own,
// which asks the main thread's loop to quit (Windows: the session's end and
// a close from outside, to a hidden window of that thread, and a console's
// control events; StopSignals_win32.cpp); a step that cannot be cut short
// (an installation under way is transactional, the download's bytes are on
// disk) does not hold the program past the grace period, after which it ends
// at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class StopSignals {
public:
    // Blocks the signals in the calling thread, so construct it before any
    // other thread exists: they inherit the mask (Linux).
    StopSignals();
    // Ends the signal thread; a stop under way has then been honoured.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The calling thread's message loop is the one a stop ends. Until one is
    // named, a stop ends the program at once: nothing runs that needs
    // undoing.
    static void NameLoopThread();
    // Whether a stop signal came: a step that a quit cut short (a modal
    // notice) must not be taken for an answer. Any thread.
    static bool Requested();

    // From a stop to the forced end.
    static constexpr uint32_t kGraceMs = 1500;

private:
    void Wait();

    std::atomic<bool> ending_{false};
    std::thread thread_;
};
