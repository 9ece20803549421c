#include "platform/process.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>

namespace platform {

namespace {

constexpr std::string_view kDeleted = " (deleted)";

std::string ExeNameFromLink(pid_t pid) {
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::string target(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            break;
        }
        if (target.size() >= (size_t{1} << 20)) return {};
        target.resize(target.size() * 2);
    }
    // The kernel marks an unlinked executable this way; the process still
    // runs under its old name.
    if (target.size() > kDeleted.size() && target.ends_with(kDeleted))
        target.resize(target.size() - kDeleted.size());
    size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

// Fallback for processes whose exe link cannot be read (another user's, or
// one that has ended). `ended` reports a zombie: it has exited and only waits
// to be reaped, so it no longer counts as running.
std::string ExeNameFromStatus(pid_t pid, bool& ended) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line, name;
    ended = false;
    for (int i = 0; i < 8 && std::getline(status, line); ++i) {
        if (line.starts_with("Name:")) {
            size_t start = line.find_first_not_of(" \t", 5);
            if (start != std::string::npos) name = line.substr(start);
        } else if (line.starts_with("State:")) {
            size_t start = line.find_first_not_of(" \t", 6);
            ended = start != std::string::npos && (line[start] == 'Z' || line[start] == 'X');
            break;
        }
    }
    return name;
}

bool ParsePid(const char* s, pid_t& pid) {
    if (!*s) return false;
    long v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return false;
        v = v * 10 + (*s - '0');
        if (v > 0x7fffffff) return false;
    }
    pid = static_cast<pid_t>(v);
    return v > 0;
}

}  // namespace

bool SnapshotProcesses(std::vector<ProcessEntry>& out) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), ::closedir);
    if (!dir) return false;
    std::vector<ProcessEntry> list;
    while (dirent* e = ::readdir(dir.get())) {
        ProcessEntry entry;
        if (!ParsePid(e->d_name, entry.pid)) continue;
        entry.exeName = ExeNameFromLink(entry.pid);
        if (entry.exeName.empty()) {
            bool ended = false;
            entry.exeName = ExeNameFromStatus(entry.pid, ended);
            if (ended) continue;
        }
        // A process that ended during the walk has neither; leave it out.
        if (entry.exeName.empty() && ::kill(entry.pid, 0) != 0 && errno == ESRCH) continue;
        list.push_back(std::move(entry));
    }
    std::sort(list.begin(), list.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
    out = std::move(list);
    return true;
}

ProcessHandle ProcessHandle::Open(pid_t pid) {
    ProcessHandle h;
    if (pid <= 0) return h;
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return h;
    h.fd_.reset(fd);
    h.pid_ = pid;
    return h;
}

bool ProcessHandle::Terminate() {
    if (!fd_) return false;
    return ::syscall(SYS_pidfd_send_signal, fd_.get(), SIGKILL, nullptr, 0) == 0;
}

bool ProcessHandle::Alive() const {
    return fd_ && !WaitExit(0);
}

bool ProcessHandle::WaitExit(int timeoutMs) const {
    if (!fd_) return true;
    // A pidfd turns readable once the process has ended (zombie or reaped).
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<int>(std::max<long long>(left, 0));
        }
        pollfd p{fd_.get(), POLLIN, 0};
        int r = ::poll(&p, 1, wait);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace platform
