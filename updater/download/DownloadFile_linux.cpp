#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "download/DownloadFile.h"

namespace {

int Fd(intptr_t native) { return static_cast<int>(native); }

// Opens `path` only when it is a regular file; -1 with errno set otherwise
// (EINVAL for a pipe, a device or a socket that stands at the name). Without
// O_NONBLOCK a pipe left at one of the work folder's names would hold the
// open until a peer came, that is for ever; it has no effect on a regular
// file and is taken off again.
int OpenRegular(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

DownloadFile DownloadFile::OpenHeld(const std::string& path, bool create, int* error, bool* heldElsewhere) {
    *heldElsewhere = false;
    int fd = OpenRegular(path, O_RDWR | (create ? O_CREAT : 0));
    if (fd < 0) {
        *error = errno;
        return {};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno;
        *heldElsewhere = *error == EWOULDBLOCK;
        ::close(fd);
        return {};
    }
    return Adopt(fd);
}

DownloadFile DownloadFile::OpenToRead(const std::string& path) {
    int fd = OpenRegular(path, O_RDONLY);
    if (fd >= 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd >= 0 ? Adopt(fd) : DownloadFile();
}

DownloadFile DownloadFile::Duplicate() const {
    if (!valid()) return {};
    int fd = ::fcntl(Fd(native_), F_DUPFD_CLOEXEC, 0);
    return fd >= 0 ? Adopt(fd) : DownloadFile();
}

int64_t DownloadFile::WriteAt(uint64_t offset, const void* data, size_t size, int* error) const {
    ssize_t n = valid() ? ::pwrite(Fd(native_), data, size, static_cast<off_t>(offset)) : -1;
    if (n < 0) *error = valid() ? errno : EBADF;
    return n;
}

int64_t DownloadFile::ReadAt(uint64_t offset, void* data, size_t size) const {
    for (;;) {
        ssize_t n = ::pread(Fd(native_), data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool DownloadFile::Length(uint64_t* length, int* error) const {
    off_t end = ::lseek(Fd(native_), 0, SEEK_END);
    if (end < 0) {
        *error = errno;
        return false;
    }
    *length = static_cast<uint64_t>(end);
    return true;
}

bool DownloadFile::SetLength(uint64_t length, int* error) const {
    if (::ftruncate(Fd(native_), static_cast<off_t>(length)) == 0) return true;
    *error = errno;
    return false;
}

bool DownloadFile::Allocate(uint64_t length, int* error) const {
    if (!SetLength(0, error)) return false;
    int result = ::posix_fallocate(Fd(native_), 0, static_cast<off_t>(length));
    if (result == 0) return true;
    *error = result;
    return false;
}

void DownloadFile::Commit() const {}

int DownloadFile::Close() {
    if (!valid()) return 0;
    return ::close(Fd(Release())) == 0 ? 0 : errno;
}

namespace download_file {

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool RemoveUnlessHeld(const std::string& path) {
    int error = 0;
    bool held = false;
    DownloadFile file = DownloadFile::OpenHeld(path, false, &error, &held);
    if (held) return false;
    // Deleted while the lock is still ours.
    return Remove(path);
}

int Copy(const std::string& from, const std::string& to) {
    int in = OpenRegular(from, O_RDONLY);
    if (in < 0) return errno;
    int out = OpenRegular(to, O_WRONLY | O_CREAT | O_TRUNC);
    if (out < 0) {
        int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0) continue;
        if (n < 0) error = errno;
        break;
    }
    if (error == EXDEV || error == ENOSYS || error == EINVAL) {
        // Plain copy where the kernel cannot copy between these files.
        error = 0;
        ::lseek(in, 0, SEEK_SET);
        (void)!::ftruncate(out, 0);
        ::lseek(out, 0, SEEK_SET);
        char buffer[1 << 16];
        for (;;) {
            ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0 || ::write(out, buffer, static_cast<size_t>(n)) != n) {
                error = errno ? errno : EIO;
                break;
            }
        }
    }
    ::close(in);
    if (::close(out) != 0 && error == 0) error = errno;
    if (error != 0) ::unlink(to.c_str());
    return error;
}

bool RenameNoReplace(const std::string& from, const std::string& to, int* error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EINVAL || errno == ENOSYS) {
        // File systems without RENAME_NOREPLACE: link fails on an existing name.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
    }
    *error = errno;
    return false;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool WriteWhole(const std::string& path, const std::string& text) {
    int fd = OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MakeFolders(const std::string& dir) {
    if (dir.empty()) return true;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        const std::string level = dir.substr(0, pos);
        if (level.empty() || level == "/") continue;
        if (::mkdir(level.c_str(), 0755) == 0) continue;
        if (errno == EEXIST && !IsFolder(level)) return false;
    }
    return true;
}

int InvalidArgument() { return EINVAL; }

int BadHandle() { return EBADF; }

std::string ErrorText(int error) { return std::strerror(error); }

int LastError() { return errno; }

}  // namespace download_file
