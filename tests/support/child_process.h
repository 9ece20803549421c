// Starting programs as real processes from tests and benchmarks: a child
// environment built from this one, output captured into memory files (a
// detached grandchild that inherits them can never block us), and waits
// that are always bounded.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "file_text.h"

namespace tavlin_test {

// The environment handed to a child, as name -> value.
class Environment {
public:
    // A copy of this process's environment.
    static Environment Inherit();
    void Set(const std::string& name, const std::string& value) { vars_[name] = value; }
    void Unset(const std::string& name) { vars_.erase(name); }
    std::string Get(const std::string& name) const;
    std::vector<std::string> Entries() const;  // "NAME=value"

private:
    std::map<std::string, std::string> vars_;
};

struct SpawnOptions {
    std::vector<std::string> argv;  // argv[0] is the program path
    Environment env = Environment::Inherit();
    std::string cwd;                // empty: the current directory
    std::string stdinData;          // fed on stdin (stdin is /dev/null when empty)
};

// One child process. The destructor kills it (SIGKILL) and reaps it if it
// is still running, so a failing test leaves nothing behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ChildProcess&& o) noexcept;
    ChildProcess& operator=(ChildProcess&& o) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // False (with error()) when the program could not be started.
    bool Start(const SpawnOptions& options);

    pid_t pid() const { return pid_; }
    // Started and not yet seen to end (no check of the process itself).
    bool running() const { return pid_ > 0 && !exited_; }
    // Started and still running now: checks (and reaps) without waiting.
    bool Alive() { return running() && !Wait(0); }
    // Waits up to timeoutMs for the child to end; true when it has ended.
    bool Wait(int timeoutMs);
    // Exit status after a successful Wait: the exit code, or 128 + signal.
    int exitCode() const { return exitCode_; }
    bool signalled() const { return signalled_; }
    void Kill();

    // Everything written to stdout / stderr so far.
    std::string Stdout() const;
    std::string Stderr() const;
    const std::string& error() const { return error_; }

private:
    void Reset();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool exited_ = false;
    bool signalled_ = false;
    int exitCode_ = -1;
    std::string error_;
};

struct RunResult {
    bool started = false;
    bool finished = false;  // false: killed at the time limit
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end, killing it after timeoutMs.
RunResult Run(const std::vector<std::string>& argv, const Environment& env, int timeoutMs,
              const std::string& cwd = {});

// Full path of a program found in PATH; empty when missing.
std::string FindProgram(const std::string& name);

// Makes this process the reaper of the detached programs its children start
// (PR_SET_CHILD_SUBREAPER), so that they can be reaped once killed instead
// of staying behind as zombies of an init that may never reap them.
void BecomeSubreaper();

// PIDs of this user's processes whose executable lies below `folder`.
std::vector<pid_t> ProcessesBelow(const std::string& folder);
// SIGKILLs the processes, waits (bounded) for them to vanish and reaps those
// that are our children. True when all are gone.
bool KillAndReap(const std::vector<pid_t>& pids, int timeoutMs = 3000);
// KillAndReap of ProcessesBelow(folder).
void KillProcessesBelow(const std::string& folder, int timeoutMs = 3000);
// True while a process with that PID exists and is not a zombie.
bool ProcessAlive(pid_t pid);

}  // namespace tavlin_test
