#include "FolderWalker.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "unpack/Printable.h"

namespace tavlin::unpack {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

int FolderWalker::OpenOrMake(int parent, const std::string& name, std::string* why) {
    int fd = ::openat(parent, name.c_str(), kFolderFlags);
    if (fd >= 0 || errno != ENOENT || !onCreate_) return fd;
    std::string hookWhy;
    if (!onCreate_(key_, hookWhy)) {
        if (why) *why = hookWhy;
        errno = 0;
        return -1;
    }
    if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    return ::openat(parent, name.c_str(), kFolderFlags);
}

int FolderWalker::Open(const std::vector<std::string>& components, std::size_t count, std::string* why) {
    if (count == 0) return rootFd_;
    if (cache_.size() >= kMaxCached) cache_.clear();
    int parent = rootFd_;
    key_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        if (i) key_ += '/';
        key_ += components[i];
        auto found = cache_.find(key_);
        if (found != cache_.end()) {
            parent = found->second.get();
            continue;
        }
        const int fd = OpenOrMake(parent, components[i], why);
        if (fd < 0) {
            if (why && errno != 0) {
                // O_NOFOLLOW reports a link as ELOOP, a file on the way as ENOTDIR.
                *why = (errno == ELOOP || errno == ENOTDIR)
                           ? "\"" + Printable(key_) + "\" is not a folder"
                           : "cannot make folder \"" + Printable(key_) + "\": " + std::strerror(errno);
            }
            return -1;
        }
        parent = fd;
        cache_.emplace(key_, platform::UniqueFd(fd));
    }
    return parent;
}

}  // namespace tavlin::unpack
