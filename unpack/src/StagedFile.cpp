#include "unpack/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>


namespace tavlin::unpack {

namespace {

std::string RandomSuffix() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::string s(6, 'x');
    for (char& c : s) c = kChars[rng() % (sizeof(kChars) - 1)];
    return s;
}

}  // namespace

std::string StagedNameFor(const std::string& name) {
    const std::string marker = std::string(kStagedMarker) + RandomSuffix();
    if (1 + name.size() + marker.size() > NAME_MAX) return marker;
    return "." + name + marker;
}

bool LooksStaged(const std::string& name) {
    const std::size_t marker = std::char_traits<char>::length(kStagedMarker);
    if (name.size() < marker + 6 || name[0] != '.') return false;
    const std::size_t at = name.size() - 6 - marker;
    if (name.compare(at, marker, kStagedMarker) != 0) return false;
    bool mixed = false;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
        mixed = mixed || !(c >= 'a' && c <= 'z');
    }
    // Six lower-case letters are more likely a word ("backup") than one of
    // the random suffixes, nearly all of which hold a capital or a digit.
    return mixed;
}

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
