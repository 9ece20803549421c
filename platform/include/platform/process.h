// Process snapshot and termination, limited to the calling user's processes.
// Linux: /proc and pidfds. Windows: the process snapshot (toolhelp) and
// process handles. Any thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/unique_handle.h"
#else
#include "platform/unique_fd.h"
#endif

namespace platform {

struct ProcessEntry {
    pid_t pid = 0;
    // File name (no folder) of the process's executable, UTF-8. Linux: the
    // last component of /proc/PID/exe with a " (deleted)" suffix removed, else
    // /proc/PID/status Name. Windows: the snapshot's executable file name.
    std::string exeName;
};

// Calls `visit` for every running process of the calling user, in ascending
// PID order, until it returns false. A process is the user's when its
// /proc/PID belongs to our effective uid (as `pgrep -u` sees it), so another
// user's program of the same name on a shared machine is never ours to ask
// about or to stop (Windows: the process's token names our user). Zombies
// are left out. False only when /proc (Windows: the snapshot) cannot be read
// at all.
bool ForEachProcess(const std::function<bool(const ProcessEntry&)>& visit);

// Every process ForEachProcess visits, in ascending PID order.
bool SnapshotProcesses(std::vector<ProcessEntry>& out);

// A process pinned by a pidfd (Windows: a process handle, which keeps its ID
// from being reused): signals go to this process even if its PID is reused
// after it ends.
class ProcessHandle {
public:
    ProcessHandle() = default;
    // Opens a pidfd for `pid`; an invalid handle when the process is gone or
    // pidfd_open is refused.
    static ProcessHandle Open(pid_t pid);
    // Opens the process that `entry` describes and checks, with the pidfd
    // already held, that the PID still names a live process of this user
    // with the same executable name: a PID that went to another program after
    // the walk is never taken for it. Invalid otherwise, with errno ESRCH
    // when the process is gone or no longer matches, else pidfd_open's error.
    static ProcessHandle OpenEntry(const ProcessEntry& entry);

    bool valid() const { return fd_.valid(); }
    pid_t pid() const { return pid_; }
    // SIGKILL through the pidfd (Windows: TerminateProcess with exit code 9).
    // False when the signal could not be sent.
    bool Terminate();
    // True while the process has not ended (polls the pidfd without waiting).
    // False for an invalid handle.
    bool Alive() const;
    // Waits up to `timeoutMs` (-1 = for ever) for the process to end; true
    // when it did. An invalid handle counts as ended.
    bool WaitExit(int timeoutMs) const;

private:
#ifdef _WIN32
    UniqueHandle fd_;
#else
    UniqueFd fd_;
#endif
    pid_t pid_ = 0;
};

}  // namespace platform
