#include "platform/runtime_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/unique_fd.h"

namespace platform {

bool IsPrivateDir(const std::string& path) {
    if (path.empty()) return false;
    // lstat, not stat: a symbolic link to our own folder could be re-pointed
    // by whoever owns the link.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 07777) == 0700;
}

std::string EnsurePrivateDir(const std::string& path) {
    if (path.empty()) return {};
    if (::mkdir(path.c_str(), 0700) == 0) {
        // The umask may have taken bits away; restore exactly 0700 through a
        // descriptor so a swapped-in link is never followed.
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) ::fchmod(fd.get(), 0700);
    } else if (errno != EEXIST) {
        return {};
    }
    return IsPrivateDir(path) ? path : std::string();
}

std::string UserRuntimeDir() {
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && xdg[0] == '/') {
        std::string dir(xdg);
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (IsPrivateDir(dir)) return dir;
    }
    return EnsurePrivateDir("/tmp/tavlin-" + std::to_string(::getuid()));
}

}  // namespace platform
