#include "platform/spawn.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/module.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

bool ReadFull(int fd, void* buf, size_t size) {
    char* p = static_cast<char*>(buf);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void WriteAll(int fd, const void* buf, size_t size) {
    const char* p = static_cast<const char*>(buf);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

// Runs in the grandchild, between fork and exec: async-signal-safe calls
// only, since the parent may have other threads.
[[noreturn]] void ExecChild(int reportFd, const char* path, char* const argv[], const char* workDir,
                            bool searchPath) {
    int err = 0;
    // Like a program the shell opens: its own session, clean signal state,
    // no standard streams or other descriptors of ours.
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        ::signal(sig, SIG_DFL);
    }
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        if (devnull > 2) ::close(devnull);
    }
    ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
    if (workDir && ::chdir(workDir) != 0) {
        err = errno;
    } else {
        if (searchPath)
            ::execvp(path, argv);
        else
            ::execv(path, argv);
        err = errno;
    }
    WriteAll(reportFd, &err, sizeof err);
    ::_exit(127);
}

// Double fork: the intermediate child exits at once and is reaped here, so
// the program is re-parented and never becomes a zombie of ours. The
// intermediate child reports the program's PID on one pipe; the program's
// copy of the other is closed by a successful exec, or carries its errno.
pid_t SpawnDetached(const std::string& path, const std::vector<std::string>& args,
                    const std::string& workDir, bool searchPath) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const char* dir = workDir.empty() ? nullptr : workDir.c_str();

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return 0;
    UniqueFd pidRead(fds[0]), pidWrite(fds[1]);
    if (::pipe2(fds, O_CLOEXEC) != 0) return 0;
    UniqueFd execRead(fds[0]), execWrite(fds[1]);

    pid_t middle = ::fork();
    if (middle < 0) return 0;
    if (middle == 0) {
        pid_t child = ::fork();
        if (child == 0) ExecChild(execWrite.get(), path.c_str(), argv.data(), dir, searchPath);
        WriteAll(pidWrite.get(), &child, sizeof child);
        ::_exit(child > 0 ? 0 : 1);
    }
    pidWrite.reset();
    execWrite.reset();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    pid_t child = 0;
    if (!ReadFull(pidRead.get(), &child, sizeof child) || child <= 0) {
        errno = EAGAIN;  // the second fork failed
        return 0;
    }
    int err = 0;
    if (ReadFull(execRead.get(), &err, sizeof err)) {
        errno = err;
        return 0;
    }
    return child;
}

}  // namespace

pid_t ShellOpenProgram(const std::string& file, const std::string& parameters,
                       const std::string& workDir) {
    if (file.empty()) {
        errno = ENOENT;
        return 0;
    }
    // Resolved here against our current directory, not PATH and not workDir,
    // as a bare name given to the shell's "open" means.
    std::string path = file;
    if (path.front() != '/') {
        std::string cwd = GetCurrentDir();
        if (cwd.empty()) return 0;
        path = (cwd == "/" ? cwd : cwd + "/") + path;
    }
    std::vector<std::string> args;
    if (!parameters.empty()) args.push_back(parameters);
    return SpawnDetached(path, args, workDir, false);
}

bool ShellOpenUrl(const std::string& url) {
    return StartDetachedFromPath("xdg-open", {url}) != 0;
}

pid_t StartDetachedFromPath(const std::string& name, const std::vector<std::string>& args) {
    if (name.empty()) {
        errno = ENOENT;
        return 0;
    }
    return SpawnDetached(name, args, {}, true);
}

}  // namespace platform
