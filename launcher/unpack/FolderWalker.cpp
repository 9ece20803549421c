#include "unpack/FolderWalker.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tavlin::unpack {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int OpenOrMakeFolder(int parent, const char* name) {
    int fd = ::openat(parent, name, kFolderFlags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(parent, name, 0755) != 0 && errno != EEXIST) return -1;
        fd = ::openat(parent, name, kFolderFlags);
    }
    return fd;
}

}  // namespace

int FolderWalker::Open(const std::vector<std::string>& components, std::size_t count,
                       std::string* why) {
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
        const int fd = OpenOrMakeFolder(parent, components[i].c_str());
        if (fd < 0) {
            if (why) {
                // O_NOFOLLOW reports a link as ELOOP, a file on the way as ENOTDIR.
                *why = (errno == ELOOP || errno == ENOTDIR)
                           ? "\"" + key_ + "\" is not a folder"
                           : "cannot make folder \"" + key_ + "\": " + std::strerror(errno);
            }
            return -1;
        }
        parent = fd;
        cache_.emplace(key_, platform::UniqueFd(fd));
    }
    return parent;
}

}  // namespace tavlin::unpack
