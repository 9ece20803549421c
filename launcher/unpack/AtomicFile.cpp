#include "unpack/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <random>

namespace tavlin::unpack {

namespace {

constexpr int kAttempts = 32;

std::string RandomSuffix() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::string s(6, 'x');
    for (char& c : s) c = kChars[rng() % (sizeof(kChars) - 1)];
    return s;
}

std::string TempNameFor(const std::string& name, bool shortForm) {
    return (shortForm ? std::string() : "." + name) + AtomicFile::kMarker + RandomSuffix();
}

}  // namespace

AtomicFile::AtomicFile(int dirFd, std::string name) : dirFd_(dirFd), name_(std::move(name)) {
    bool shortForm = false;
    for (int i = 0; i < kAttempts; ++i) {
        tempName_ = TempNameFor(name_, shortForm);
        const int fd = ::openat(dirFd_, tempName_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_.reset(fd);
            return;
        }
        if (errno == ENAMETOOLONG && !shortForm) {
            shortForm = true;
        } else if (errno != EEXIST) {
            break;
        }
    }
    error_ = std::string("cannot create a file beside \"") + name_ + "\": " + std::strerror(errno);
    tempName_.clear();
}

AtomicFile::~AtomicFile() {
    if (committed_ || tempName_.empty()) return;
    fd_.reset();
    ::unlinkat(dirFd_, tempName_.c_str(), 0);
}

bool AtomicFile::Fail(const std::string& what) {
    error_ = what + " \"" + name_ + "\": " + std::strerror(errno);
    return false;
}

bool AtomicFile::Write(const void* data, std::size_t size) {
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

bool AtomicFile::Commit(mode_t mode, std::time_t access, std::time_t modification) {
    if (::fchmod(fd_.get(), mode) != 0) return Fail("cannot set the mode of");
    const timespec times[2] = {{access, 0}, {modification, 0}};
    if (::futimens(fd_.get(), times) != 0) return Fail("cannot set the times of");
    if (::close(fd_.release()) != 0) return Fail("cannot write");
    if (!PutInPlace()) return false;
    committed_ = true;
    return true;
}

// An existing file is swapped with the new one and then removed under the
// temporary name, rather than renamed over. Both are atomic for readers, but
// ext4 answers a rename over an existing file by flushing the new file's data
// at once (auto_da_alloc), which made replacing an installation several
// times slower than writing it.
bool AtomicFile::PutInPlace() {
    struct stat st{};
    if (::fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return Fail("cannot replace");
        }
        if (::renameat2(dirFd_, tempName_.c_str(), dirFd_, name_.c_str(), RENAME_EXCHANGE) == 0) {
            ::unlinkat(dirFd_, tempName_.c_str(), 0);
            return true;
        }
        // Not every file system can swap; a plain rename replaces as well.
        if (errno != EINVAL && errno != ENOSYS) return Fail("cannot replace");
    } else if (errno != ENOENT) {
        return Fail("cannot replace");
    }
    if (::renameat(dirFd_, tempName_.c_str(), dirFd_, name_.c_str()) != 0) return Fail("cannot replace");
    return true;
}

bool ReplaceWithSymlink(int dirFd, const std::string& name, const std::string& target,
                        std::string& error) {
    bool shortForm = false;
    for (int i = 0; i < kAttempts; ++i) {
        const std::string temp = TempNameFor(name, shortForm);
        if (::symlinkat(target.c_str(), dirFd, temp.c_str()) == 0) {
            if (::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) == 0) return true;
            error = "cannot replace \"" + name + "\": " + std::strerror(errno);
            ::unlinkat(dirFd, temp.c_str(), 0);
            return false;
        }
        if (errno == ENAMETOOLONG && !shortForm) {
            shortForm = true;
        } else if (errno != EEXIST) {
            break;
        }
    }
    error = "cannot make the link \"" + name + "\": " + std::strerror(errno);
    return false;
}

}  // namespace tavlin::unpack
