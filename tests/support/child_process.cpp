#include "child_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace fs = std::filesystem;

namespace tavlin_test {

namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

std::string ReadWholeFd(int fd) {
    std::string out;
    if (fd < 0) return out;
    char buf[65536];
    off_t off = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void ExecChild(char* const* argv, char* const* envp, const char* cwd, int inFd,
                            int outFd, int errFd, int reportFd) {
    ::setpgid(0, 0);
    if (::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0) {
        int e = errno;
        (void)!::write(reportFd, &e, sizeof e);
        ::_exit(127);
    }
    if (cwd && ::chdir(cwd) != 0) {
        int e = errno;
        (void)!::write(reportFd, &e, sizeof e);
        ::_exit(127);
    }
    // Nothing we inherited reaches the program; the report pipe closes on a
    // successful exec, which is how the parent learns of it.
    ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv, envp);
    int e = errno;
    (void)!::write(reportFd, &e, sizeof e);
    ::_exit(127);
}

}  // namespace

Environment Environment::Inherit() {
    Environment env;
    for (char** p = environ; p && *p; ++p) {
        const char* eq = std::strchr(*p, '=');
        if (!eq) continue;
        env.vars_[std::string(*p, static_cast<size_t>(eq - *p))] = eq + 1;
    }
    return env;
}

std::string Environment::Get(const std::string& name) const {
    auto it = vars_.find(name);
    return it == vars_.end() ? std::string() : it->second;
}

std::vector<std::string> Environment::Entries() const {
    std::vector<std::string> out;
    out.reserve(vars_.size());
    for (const auto& [k, v] : vars_) out.push_back(k + "=" + v);
    return out;
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept { *this = std::move(o); }

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
    if (this != &o) {
        Reset();
        pid_ = std::exchange(o.pid_, -1);
        pidfd_ = std::exchange(o.pidfd_, -1);
        outFd_ = std::exchange(o.outFd_, -1);
        errFd_ = std::exchange(o.errFd_, -1);
        exited_ = o.exited_;
        signalled_ = o.signalled_;
        exitCode_ = o.exitCode_;
        error_ = std::move(o.error_);
    }
    return *this;
}

ChildProcess::~ChildProcess() { Reset(); }

void ChildProcess::Reset() {
    if (running()) {
        Kill();
        Wait(5000);
    }
    CloseFd(pidfd_);
    CloseFd(outFd_);
    CloseFd(errFd_);
    pid_ = -1;
    exited_ = false;
}

bool ChildProcess::Start(const SpawnOptions& options) {
    Reset();
    error_.clear();
    if (options.argv.empty()) {
        error_ = "no program";
        return false;
    }
    outFd_ = ::memfd_create("child-stdout", MFD_CLOEXEC);
    errFd_ = ::memfd_create("child-stderr", MFD_CLOEXEC);
    if (outFd_ < 0 || errFd_ < 0) {
        error_ = std::string("memfd_create: ") + std::strerror(errno);
        return false;
    }

    int inFd = -1;
    if (options.stdinData.empty()) {
        inFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else {
        inFd = ::memfd_create("child-stdin", MFD_CLOEXEC);
        if (inFd >= 0) {
            (void)!::write(inFd, options.stdinData.data(), options.stdinData.size());
            ::lseek(inFd, 0, SEEK_SET);
        }
    }
    int report[2];
    if (inFd < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        error_ = std::string("stdin/pipe: ") + std::strerror(errno);
        if (inFd >= 0) ::close(inFd);
        return false;
    }

    std::vector<std::string> envStrings = options.env.Entries();
    std::vector<char*> argv, envp;
    for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

    pid_t pid = ::fork();
    if (pid == 0) ExecChild(argv.data(), envp.data(), cwd, inFd, outFd_, errFd_, report[1]);
    ::close(inFd);
    ::close(report[1]);
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(report[0]);
        return false;
    }
    pid_ = pid;
    int childErrno = 0;
    ssize_t n;
    do n = ::read(report[0], &childErrno, sizeof childErrno);
    while (n < 0 && errno == EINTR);
    ::close(report[0]);
    pidfd_ = PidfdOpen(pid);
    if (n > 0) {
        error_ = "cannot start " + options.argv[0] + ": " + std::strerror(childErrno);
        Wait(5000);
        return false;
    }
    return true;
}

bool ChildProcess::Wait(int timeoutMs) {
    if (pid_ <= 0) return false;
    if (exited_) return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            signalled_ = WIFSIGNALED(status);
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (r < 0 && errno != EINTR) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void ChildProcess::Kill() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
}

std::string ChildProcess::Stdout() const { return ReadWholeFd(outFd_); }
std::string ChildProcess::Stderr() const { return ReadWholeFd(errFd_); }

RunResult Run(const std::vector<std::string>& argv, const Environment& env, int timeoutMs,
              const std::string& cwd) {
    RunResult result;
    ChildProcess child;
    SpawnOptions options;
    options.argv = argv;
    if (!argv.empty() && argv[0].find('/') == std::string::npos) {
        options.argv[0] = FindProgram(argv[0]);
        if (options.argv[0].empty()) {
            result.err = argv[0] + ": not found in PATH";
            return result;
        }
    }
    options.env = env;
    options.cwd = cwd;
    if (!child.Start(options)) {
        result.err = child.error();
        return result;
    }
    result.started = true;
    result.finished = child.Wait(timeoutMs);
    if (!result.finished) {
        child.Kill();
        child.Wait(5000);
    }
    result.exitCode = child.exitCode();
    result.out = child.Stdout();
    result.err = child.Stderr();
    return result;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::vector<pid_t> ProcessesBelow(const std::string& folder) {
    std::vector<pid_t> pids;
    std::error_code ec;
    fs::path root = fs::weakly_canonical(folder, ec);
    if (ec) return pids;
    std::string prefix = root.string() + "/";
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkEc;
        std::string exe = fs::read_symlink(entry.path() / "exe", linkEc).string();
        if (linkEc) continue;
        if (exe.rfind(prefix, 0) == 0) pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

bool ProcessAlive(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) return false;
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("State:", 0) == 0) return line.find('Z') == std::string::npos;
    return false;
}

void BecomeSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

void KillProcessesBelow(const std::string& folder, int timeoutMs) {
    KillAndReap(ProcessesBelow(folder), timeoutMs);
}

bool KillAndReap(const std::vector<pid_t>& pids, int timeoutMs) {
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    return WaitUntil([&] {
        for (pid_t pid : pids) {
            ::waitpid(pid, nullptr, WNOHANG);
            if (ProcessAlive(pid)) return false;
        }
        return true;
    }, timeoutMs);
}

}  // namespace tavlin_test
