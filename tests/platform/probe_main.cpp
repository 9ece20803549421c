// A small program the platform tests start to see what a started process
// receives. It writes to the file named by PROBE_OUT, one item per line,
// each as "<key> <length>:<bytes>":
//   pid, ppid, cwd, exe (its own module path), fds (open descriptors above 2,
//   space separated), argc, then one "arg" per argv[1..].
// With PROBE_AFTER set it first waits (at most 10 s) until that file exists.
// With PROBE_LOCK set it then takes that named mutex, writes PROBE_OUT +
// ".locked" and sleeps until killed.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/module.h"
#include "platform/named_mutex.h"

namespace {

std::string Item(const std::string& key, const std::string& value) {
    return key + " " + std::to_string(value.size()) + ":" + value + "\n";
}

std::string OpenFds() {
    std::string list;
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) return "?";
    int own = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd <= 2 || fd == own) continue;
        if (!list.empty()) list += ' ';
        list += e->d_name;
    }
    ::closedir(d);
    return list;
}

bool WriteFile(const std::string& path, const std::string& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const char* out = std::getenv("PROBE_OUT");
    if (!out) return 2;
    std::string fds = OpenFds();
    if (const char* after = std::getenv("PROBE_AFTER")) {
        for (int i = 0; i < 1000 && ::access(after, F_OK) != 0; ++i) ::usleep(10000);
    }
    std::string exe;
    platform::GetModulePath(exe);
    std::string text = Item("pid", std::to_string(::getpid())) + Item("ppid", std::to_string(::getppid())) +
                       Item("cwd", platform::GetCurrentDir()) + Item("exe", exe) + Item("fds", fds) +
                       Item("argc", std::to_string(argc));
    for (int i = 1; i < argc; ++i) text += Item("arg", argv[i]);
    // Written under a temporary name and renamed, so a test never reads half.
    std::string tmp = std::string(out) + ".tmp";
    if (!WriteFile(tmp, text) || ::rename(tmp.c_str(), out) != 0) return 3;

    if (const char* lockName = std::getenv("PROBE_LOCK")) {
        platform::NamedMutex mutex;
        if (!mutex.Create(lockName) || !mutex.Acquire(0)) return 4;
        if (!WriteFile(std::string(out) + ".locked", "1")) return 5;
        for (;;) ::pause();
    }
    return 0;
}
