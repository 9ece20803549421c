#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "backend.h"
#include "wake_signal.h"

namespace platform::detail {

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void WakeSignal::Set() const {
    uint64_t one = 1;
    ssize_t r = ::write(static_cast<int>(handle_), &one, sizeof one);
    (void)r;  // a full counter still wakes the reader
}

void WakeSignal::Wait(Backend* backend, int timeoutMs) {
    const int fd = static_cast<int>(handle_);
    pollfd fds[2] = {{fd, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t n = 1;
    if (backend && backend->EventFd() >= 0) {
        fds[1].fd = backend->EventFd();
        n = 2;
    }
    if (::poll(fds, n, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
        uint64_t v;
        while (::read(fd, &v, sizeof v) > 0) {
        }
    }
}

}  // namespace platform::detail
