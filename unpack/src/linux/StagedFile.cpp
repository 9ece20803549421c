#include "unpack/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavlin::unpack {

StagedFile::StagedFile(int dirFd, std::string stagedName) : dirFd_(dirFd), name_(std::move(stagedName)) {
    fd_.reset(::openat(dirFd_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    created_ = fd_.valid();
    if (!created_) error_ = std::string("cannot create a file beside it: ") + std::strerror(errno);
}

StagedFile::~StagedFile() {
    if (!created_ || finished_) return;
    fd_.reset();
    ::unlinkat(dirFd_, name_.c_str(), 0);
}

bool StagedFile::Fail(const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
    return false;
}

bool StagedFile::Write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_.get(), p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail("cannot write");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool StagedFile::Finish(mode_t mode, std::time_t access, std::time_t modification) {
    if (::fchmod(fd_.get(), mode) != 0) return Fail("cannot set the mode");
    const timespec times[2] = {{access, 0}, {modification, 0}};
    if (::futimens(fd_.get(), times) != 0) return Fail("cannot set the times");
    // close() is where some file systems report a full disk.
    if (::close(fd_.release()) != 0) return Fail("cannot write");
    finished_ = true;
    return true;
}

bool StageSymlink(int dirFd, const std::string& stagedName, const std::string& target, std::string& error) {
    if (::symlinkat(target.c_str(), dirFd, stagedName.c_str()) == 0) return true;
    error = std::string("cannot make the link: ") + std::strerror(errno);
    return false;
}

}  // namespace tavlin::unpack
