// Process snapshot and termination.
// Any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

struct ProcessEntry {
    pid_t pid = 0;
    // File name (no folder) of the process's executable: the last component of
    // /proc/PID/exe with a " (deleted)" suffix removed, else /proc/PID/status
    // Name. Other users' processes whose exe cannot be read still appear.
    std::string exeName;
};

// Every process visible in /proc, in ascending PID order. False only when
// /proc cannot be read at all.
bool SnapshotProcesses(std::vector<ProcessEntry>& out);

// A process pinned by a pidfd: signals go to this process even if its PID is
// reused after it ends.
class ProcessHandle {
public:
    ProcessHandle() = default;
    // Opens a pidfd for `pid`; an invalid handle when the process is gone or
    // pidfd_open is refused.
    static ProcessHandle Open(pid_t pid);

    bool valid() const { return fd_.valid(); }
    pid_t pid() const { return pid_; }
    // SIGKILL through the pidfd. False when the signal could not be sent.
    bool Terminate();
    // True while the process has not ended (polls the pidfd without waiting).
    // False for an invalid handle.
    bool Alive() const;
    // Waits up to `timeoutMs` (-1 = for ever) for the process to end; true
    // when it did. An invalid handle counts as ended.
    bool WaitExit(int timeoutMs) const;

private:
    UniqueFd fd_;
    pid_t pid_ = 0;
};

}  // namespace platform
