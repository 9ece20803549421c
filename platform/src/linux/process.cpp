#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>

namespace platform {

namespace {

constexpr std::string_view kDeleted = " (deleted)";

// "PID/leaf" relative to /proc; PIDs are at most 10 digits.
struct ProcPath {
    char text[32];
    ProcPath(pid_t pid, const char* leaf) { std::snprintf(text, sizeof text, "%d/%s", static_cast<int>(pid), leaf); }
};

std::string ExeNameFromLink(int procFd, pid_t pid) {
    const ProcPath link(pid, "exe");
    std::string target(256, '\0');
    for (;;) {
        ssize_t n = ::readlinkat(procFd, link.text, target.data(), target.size());
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

// Fallback for processes whose exe link cannot be read (kernel threads, a
// process that made itself undumpable, one that has ended). `ended` reports
// a zombie: it has exited and only waits to be reaped, so it no longer
// counts as running.
std::string ExeNameFromStatus(int procFd, pid_t pid, bool& ended) {
    ended = false;
    UniqueFd fd(::openat(procFd, ProcPath(pid, "status").text, O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    // Name and State are the first lines; one read holds them.
    char buf[1024];
    ssize_t n;
    do {
        n = ::read(fd.get(), buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    std::string_view text(buf, static_cast<size_t>(n));
    std::string name;
    for (int i = 0; i < 8 && !text.empty(); ++i) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.starts_with("Name:")) {
            size_t start = line.find_first_not_of(" \t", 5);
            if (start != std::string_view::npos) name = line.substr(start);
        } else if (line.starts_with("State:")) {
            size_t start = line.find_first_not_of(" \t", 6);
            ended = start != std::string_view::npos && (line[start] == 'Z' || line[start] == 'X');
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

enum class Probe { Ours, NotOurs, Gone };

// Fills entry.exeName for a process of the user `euid`. The owner of
// /proc/PID is the process's effective uid; it is checked first because
// it costs one stat, and most processes of a shared machine are not ours.
Probe ProbeProcess(int procFd, const char* dirName, uid_t euid, ProcessEntry& entry) {
    struct stat st {};
    if (::fstatat(procFd, dirName, &st, 0) != 0) return Probe::Gone;
    if (st.st_uid != euid) return Probe::NotOurs;
    entry.exeName = ExeNameFromLink(procFd, entry.pid);
    if (entry.exeName.empty()) {
        bool ended = false;
        entry.exeName = ExeNameFromStatus(procFd, entry.pid, ended);
        if (ended) return Probe::Gone;
        // Ended during the walk: neither is readable any more.
        if (entry.exeName.empty() && ::kill(entry.pid, 0) != 0 && errno == ESRCH) return Probe::Gone;
    }
    return Probe::Ours;
}

using Dir = std::unique_ptr<DIR, int (*)(DIR*)>;

Dir OpenProc() { return Dir(::opendir("/proc"), ::closedir); }

}  // namespace

bool ForEachProcess(const std::function<bool(const ProcessEntry&)>& visit) {
    Dir dir = OpenProc();
    if (!dir) return false;
    const int procFd = ::dirfd(dir.get());
    const uid_t euid = ::geteuid();
    while (dirent* e = ::readdir(dir.get())) {
        ProcessEntry entry;
        if (!ParsePid(e->d_name, entry.pid)) continue;
        if (ProbeProcess(procFd, e->d_name, euid, entry) != Probe::Ours) continue;
        if (!visit(entry)) break;
    }
    return true;
}

bool SnapshotProcesses(std::vector<ProcessEntry>& out) {
    std::vector<ProcessEntry> list;
    if (!ForEachProcess([&](const ProcessEntry& e) {
            list.push_back(e);
            return true;
        }))
        return false;
    // /proc lists by PID already; the order is part of this function's word.
    std::sort(list.begin(), list.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
    out = std::move(list);
    return true;
}

ProcessHandle ProcessHandle::Open(pid_t pid) {
    ProcessHandle h;
    if (pid <= 0) {
        errno = ESRCH;
        return h;
    }
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return h;
    h.fd_.reset(fd);
    h.pid_ = pid;
    return h;
}

ProcessHandle ProcessHandle::OpenEntry(const ProcessEntry& entry) {
    ProcessHandle h = Open(entry.pid);
    if (!h.valid()) return h;
    // What /proc says now describes the pinned process only if that process
    // is still alive after the reads: a PID is not reused before its owner
    // has ended and been reaped.
    ProcessEntry now{entry.pid, {}};
    bool same = false;
    if (Dir dir = OpenProc()) {
        char dirName[16];
        std::snprintf(dirName, sizeof dirName, "%d", static_cast<int>(entry.pid));
        same = ProbeProcess(::dirfd(dir.get()), dirName, ::geteuid(), now) == Probe::Ours &&
               now.exeName == entry.exeName;
    }
    if (!same || !h.Alive()) {
        h = ProcessHandle();
        errno = ESRCH;
    }
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
