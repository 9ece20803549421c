// Holds a run at a chosen open or read of a file until the test has done
// something to that file system, through fanotify permission events: the
// gap between a run's look at a file and its use of it, made exact.
// Needs CAP_SYS_ADMIN; ok() is false without it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavlin_test {

class AccessHook {
public:
    enum class Event { Open, Read };

    AccessHook();
    // Allows whatever is still held, then stops listening.
    ~AccessHook();
    AccessHook(const AccessHook&) = delete;
    AccessHook& operator=(const AccessHook&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    // Runs `action` once, at the `nth` (1 = first) such event on the file
    // now at `path`, before the event's process may go on. The action runs
    // on the hook's own thread and must not open a watched file itself
    // (that open would wait for this very thread): it works on descriptors
    // opened beforehand or on names.
    bool Watch(const std::string& path, Event event, int nth, std::function<void()> action);

    // How many actions have run.
    int fired() const { return fired_.load(); }

private:
    struct Watched {
        dev_t dev;
        ino_t ino;
        Event event;
        int left;  // events to let through before the action
        std::function<void()> action;
    };
    void Listen();

    int fd_ = -1;
    std::string error_;
    std::mutex mutex_;
    std::vector<Watched> watched_;
    std::atomic<int> fired_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tavlin_test
