#include "disk_state.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace tavlin_test {

namespace {

constexpr uint64_t kPage = 4096;
// Room for whatever the folder held before the real limit is set.
constexpr uint64_t kInitialSize = 1ull << 30;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Mount namespaces belong to threads: the one that mounts enters its own,
// and the processes it starts inherit it.
bool EnterPrivateMountNamespace(std::string& error) {
    thread_local bool entered = false;
    if (entered) return true;
    if (::unshare(CLONE_NEWNS) != 0) {
        error = Errno("unshare(CLONE_NEWNS)");
        return false;
    }
    // Nothing mounted here may propagate back to the namespace we came from.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error = Errno("making the mounts private");
        return false;
    }
    entered = true;
    return true;
}

bool Stat(const std::string& folder, struct statvfs& vfs) { return ::statvfs(folder.c_str(), &vfs) == 0; }

}  // namespace

SmallDisk::~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
}

bool SmallDisk::Mount(const std::string& path) {
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (mounted_) {
        error_ = "already mounted";
        return false;
    }
    if (!EnterPrivateMountNamespace(error_)) return false;
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error_ = Errno("no folder " + folder);
        return false;
    }
    // The old contents wait beside it, then move onto the tmpfs.
    const std::string aside = folder + ".before-mount";
    std::error_code ec;
    fs::rename(folder, aside, ec);
    if (!ec) fs::create_directory(folder, ec);
    if (ec) {
        error_ = "cannot set " + folder + " aside: " + ec.message();
        return false;
    }
    char options[128];
    std::snprintf(options, sizeof options, "size=%llu,mode=%o,uid=%u,gid=%u",
                  static_cast<unsigned long long>(kInitialSize), static_cast<unsigned>(st.st_mode & 07777),
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
        error_ = Errno("mounting a tmpfs on " + folder);
        fs::remove(folder, ec);
        fs::rename(aside, folder, ec);
        return false;
    }
    folder_ = folder;
    mounted_ = true;
    fs::copy(aside, folder, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        error_ = "cannot copy " + folder + " onto the tmpfs: " + ec.message();
        return false;
    }
    fs::remove_all(aside, ec);
    return true;
}

bool SmallDisk::LeaveFree(uint64_t freeBytes, uint64_t freeInodes) {
    struct statvfs vfs{};
    if (!mounted_ || !Stat(folder_, vfs)) {
        error_ = mounted_ ? Errno("statvfs") : "not mounted";
        return false;
    }
    const uint64_t usedBytes = (vfs.f_blocks - vfs.f_bfree) * vfs.f_frsize;
    const uint64_t usedInodes = vfs.f_files - vfs.f_ffree;
    const uint64_t size = usedBytes + (freeBytes + kPage - 1) / kPage * kPage;
    const uint64_t inodes = usedInodes + freeInodes;
    // tmpfs reads 0 as "no limit".
    if (size == 0 || inodes == 0) {
        error_ = "a tmpfs cannot be limited to nothing";
        return false;
    }
    char options[96];
    std::snprintf(options, sizeof options, "size=%llu,nr_inodes=%llu", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(inodes));
    if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV, options) != 0) {
        error_ = Errno(std::string("remounting with ") + options);
        return false;
    }
    if (FreeBytes() != size - usedBytes || FreeInodes() != freeInodes) {
        error_ = "after remounting with " + std::string(options) + ": " + std::to_string(FreeBytes()) +
                 " bytes and " + std::to_string(FreeInodes()) + " inodes free";
        return false;
    }
    return true;
}

bool SmallDisk::Fill(const std::string& path) {
    error_.clear();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = Errno("cannot create " + path);
        return false;
    }
    off_t at = 0;
    struct stat st{};
    if (::fstat(fd, &st) == 0) at = st.st_size;
    // Whatever the file system keeps for itself shows as ENOSPC before the
    // count reaches zero: smaller pieces then, down to a page.
    uint64_t piece = FreeBytes();
    for (int round = 0; round < 200 && piece >= kPage; ++round) {
        if (::fallocate(fd, 0, at, static_cast<off_t>(piece)) == 0) {
            at += static_cast<off_t>(piece);
            piece = FreeBytes();
        } else if (errno == ENOSPC) {
            piece /= 2;
        } else {
            error_ = Errno("fallocate");
            break;
        }
    }
    ::close(fd);
    if (error_.empty() && FreeBytes() != 0) error_ = std::to_string(FreeBytes()) + " bytes still free";
    return error_.empty();
}

uint64_t SmallDisk::FreeBytes() const {
    struct statvfs vfs{};
    return Stat(folder_, vfs) ? static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize : 0;
}

uint64_t SmallDisk::FreeInodes() const {
    struct statvfs vfs{};
    return Stat(folder_, vfs) ? static_cast<uint64_t>(vfs.f_ffree) : 0;
}

std::vector<std::string> StagingDebris(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->path().filename().string().find(".tavlin-") != std::string::npos)
            found.push_back(it->path().lexically_relative(root).string());
    }
    return found;
}

bool SetImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

}  // namespace tavlin_test
