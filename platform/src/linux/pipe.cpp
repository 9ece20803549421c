#include "platform/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <linux/sockios.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/runtime_dir.h"

namespace platform {

namespace {

// How long one stalled write or read may wait for the peer.
constexpr int kStallMs = 5000;
// A message larger than this is not a launcher's and is refused.
constexpr size_t kMaxMessage = 1 << 20;

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsUs(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

// Waits for `events` on fd; false on timeout or error.
bool WaitFor(int fd, short events, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            wait = static_cast<int>(std::max<long long>(left, 0));
        }
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, wait);
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

}  // namespace

std::string PipePath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    std::string dir = UserRuntimeDir();
    if (dir.empty()) return {};
    std::string path = dir + "/" + name;
    sockaddr_un addr;
    return MakeAddress(path, addr) ? path : std::string();
}

bool PipeClient::Open(const std::string& name) {
    fd_.reset();
    std::string path = PipePath(name);
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return false;

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return false;
    // A Unix stream connect to a listening socket completes at once; a full
    // backlog (EAGAIN) counts as "busy", and we do not wait for it.
    int r;
    do {
        r = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) return false;
    // The socket file was ours a moment ago; make sure the listener is too.
    if (!PeerIsUs(fd.get())) return false;
    fd_ = std::move(fd);
    return true;
}

bool PipeClient::Write(const void* data, size_t size) {
    if (!fd_) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd_.get(), p, size, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd_.get(), POLLOUT, kStallMs)) continue;
        // Part of the message may be out; it is broken either way.
        fd_.reset();
        return false;
    }
    return true;
}

bool PipeClient::Finish(int timeoutMs) {
    if (!fd_) return false;
    if (::shutdown(fd_.get(), SHUT_WR) != 0) return false;
    // On a Unix stream socket the bytes sent stay charged to us until the
    // server has read them, so SIOCOUTQ reaching 0 means "all taken". A
    // server that closes with our bytes unread frees them too, but sets
    // ECONNRESET on our socket before it does: the error is read after the
    // count, so a reset is never taken for a delivery.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    int stepMs = 1;
    int watched = fd_.get();
    for (;;) {
        int unread = 0;
        if (::ioctl(fd_.get(), SIOCOUTQ, &unread) != 0) return false;
        if (unread == 0) {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) return false;
            return error == 0;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return true;
        // A server that closes wakes us at once; one that reads and keeps the
        // connection open is seen at the next step. Steps grow so that a slow
        // server costs few wake-ups. Once the server has hung up its side the
        // socket stays readable, so from then on the steps are plain sleeps
        // (poll ignores a negative descriptor).
        pollfd p{watched, POLLRDHUP, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, stepMs)));
        if (r < 0 && errno != EINTR) return false;
        if (r > 0) watched = -1;
        stepMs = std::min(stepMs * 2, 50);
    }
}

bool PipeServer::Listen(const std::string& name) {
    Close();
    std::string path = PipePath(name);
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) return false;

    // Whoever holds this lock serves the name; any socket file found while
    // we hold it is a leftover of a server that died.
    UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return false;

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return false;
        if (::unlink(path.c_str()) != 0) return false;
    }

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    // Nobody can connect before listen(), so tightening the mode here leaves
    // no window; umask is process-wide and not ours to change.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd.get(), 16) != 0) {
        ::unlink(path.c_str());
        return false;
    }
    fd_ = std::move(fd);
    lock_ = std::move(lock);
    path_ = path;
    return true;
}

bool PipeServer::ReceiveOne(std::string& message, int timeoutMs) {
    if (!fd_) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    auto remaining = [&] {
        if (timeoutMs < 0) return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        return static_cast<int>(std::max<long long>(left, 0));
    };
    if (!WaitFor(fd_.get(), POLLIN, remaining())) return false;
    UniqueFd conn;
    for (;;) {
        conn.reset(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (conn || errno != EINTR) break;
    }
    if (!conn) return false;

    // A peer that connects and then stalls must not hold the server for
    // ever: each read waits at most kStallMs.
    std::string data;
    char buf[4096];
    for (;;) {
        if (!WaitFor(conn.get(), POLLIN, kStallMs)) return false;
        ssize_t n = ::read(conn.get(), buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > kMaxMessage) return false;
    }
    message = std::move(data);
    return true;
}

void PipeServer::Close() {
    if (fd_ && !path_.empty()) ::unlink(path_.c_str());
    fd_.reset();
    lock_.reset();
    path_.clear();
}

PipeServer::~PipeServer() { Close(); }

}  // namespace platform
