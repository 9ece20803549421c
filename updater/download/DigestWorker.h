// A digest updated on a thread of its own, so that a second digest of the
// same bytes costs the caller no time: Post hands a buffer over, the caller
// digests it its own way meanwhile and may go on to the next buffer; Wait
// (or the next Post) hands the buffer back.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "download/HashDigest.h"

class DigestWorker {
public:
    // Starts the thread; without one, Post digests on the caller's thread.
    explicit DigestWorker(HashKind kind);
    // Waits for a posted buffer and ends the thread.
    ~DigestWorker();
    DigestWorker(const DigestWorker&) = delete;
    DigestWorker& operator=(const DigestWorker&) = delete;

    // `data` must stay as it is until Wait, or the next Post, returns; a
    // Post first waits for the buffer before.
    void Post(const void* data, size_t size);
    // Returns once the posted buffer has been digested.
    void Wait();

    // Only while no buffer is posted (see HashDigest).
    bool Reset() { return digest_.Reset(); }
    std::string FinishHex() { return digest_.FinishHex(); }

private:
    void Loop();

    HashDigest digest_;
    std::mutex mutex_;
    std::condition_variable cv_;
    const void* data_ = nullptr;  // under mutex_
    size_t size_ = 0;
    bool posted_ = false;
    bool stop_ = false;
    std::thread thread_;  // last: started once the rest exists
};
