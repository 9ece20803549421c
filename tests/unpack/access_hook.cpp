#include "access_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavlin_test {

AccessHook::AccessHook() {
    fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = std::string("fanotify: ") + std::strerror(errno);
        return;
    }
    thread_ = std::thread([this] { Listen(); });
}

AccessHook::~AccessHook() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    // Closing the group allows every event still held.
    if (fd_ >= 0) ::close(fd_);
}

bool AccessHook::Watch(const std::string& path, Event event, int nth, std::function<void()> action) {
    struct stat st{};
    if (fd_ < 0 || ::stat(path.c_str(), &st) != 0) return false;
    {
        std::lock_guard lock(mutex_);
        watched_.push_back({st.st_dev, st.st_ino, event, nth - 1, std::move(action)});
    }
    const uint64_t mask = event == Event::Open ? FAN_OPEN_PERM : FAN_ACCESS_PERM;
    return ::fanotify_mark(fd_, FAN_MARK_ADD, mask, AT_FDCWD, path.c_str()) == 0;
}

void AccessHook::Listen() {
    alignas(fanotify_event_metadata) char buffer[4096];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) continue;
        auto* m = reinterpret_cast<fanotify_event_metadata*>(buffer);
        for (ssize_t len = n; FAN_EVENT_OK(m, len); m = FAN_EVENT_NEXT(m, len)) {
            struct stat st{};
            const bool known = m->fd >= 0 && ::fstat(m->fd, &st) == 0;
            const Event event = (m->mask & FAN_OPEN_PERM) ? Event::Open : Event::Read;
            std::function<void()> action;
            if (known) {
                std::lock_guard lock(mutex_);
                for (Watched& w : watched_) {
                    if (w.dev != st.st_dev || w.ino != st.st_ino || w.event != event || !w.action) continue;
                    if (w.left-- > 0) continue;
                    action = std::move(w.action);
                    w.action = nullptr;
                }
            }
            if (action) {
                action();
                ++fired_;
            }
            if (m->fd >= 0) {
                const fanotify_response allow{m->fd, FAN_ALLOW};
                (void)!::write(fd_, &allow, sizeof allow);
                ::close(m->fd);
            }
        }
    }
}

}  // namespace tavlin_test
