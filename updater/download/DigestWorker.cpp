#include "download/DigestWorker.h"

#include <system_error>

DigestWorker::DigestWorker(HashKind kind) : digest_(kind) {
    try {
        thread_ = std::thread(&DigestWorker::Loop, this);
    } catch (const std::system_error&) {
    }
}

DigestWorker::~DigestWorker() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void DigestWorker::Post(const void* data, size_t size) {
    if (!thread_.joinable()) {
        digest_.Update(data, size);
        return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return !posted_; });
        data_ = data;
        size_ = size;
        posted_ = true;
    }
    cv_.notify_all();
}

void DigestWorker::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return !posted_; });
}

void DigestWorker::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return posted_ || stop_; });
        // A posted buffer is digested before the thread ends: its owner
        // may be waiting for it.
        if (posted_) {
            const void* data = data_;
            const size_t size = size_;
            lock.unlock();
            digest_.Update(data, size);
            lock.lock();
            posted_ = false;
            cv_.notify_all();
            continue;
        }
        return;
    }
}
