#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/runtime_dir.h"

namespace platform {

namespace {

std::string SanitiseName(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '{' || c == '}' || c == '-';
        if (!keep) c = '_';
    }
    // "." and ".." would name the folder itself or its parent.
    if (out.find_first_not_of('.') == std::string::npos) out.insert(0, "_");
    return out;
}

// flock without waiting; true when taken, errno kept for the caller.
bool TryLock(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

bool NamedMutex::Create(const std::string& name) {
    Release();
    fd_.reset();
    std::string dir = UserRuntimeDir();
    if (dir.empty() || name.empty()) return false;
    std::string path = dir + "/" + SanitiseName(name) + ".lock";
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    return fd_.valid();
}

bool NamedMutex::Acquire(int timeoutMs) {
    if (!fd_) return false;
    if (held_) return true;
    if (timeoutMs < 0) {
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) return false;
        }
        held_ = true;
        return true;
    }
    // Polled rather than a blocking flock with an alarm, so no signal
    // handler is needed and any thread may wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TryLock(fd_.get())) {
            held_ = true;
            return true;
        }
        if (errno != EWOULDBLOCK) return false;
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds::zero()) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

bool NamedMutex::HeldElsewhere() {
    if (!fd_ || held_) return false;
    if (TryLock(fd_.get())) {
        ::flock(fd_.get(), LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

void NamedMutex::Release() {
    if (held_ && fd_) ::flock(fd_.get(), LOCK_UN);
    held_ = false;
}

}  // namespace platform
