// The ".dltmp" file: the data at its final offsets, then one 12-byte record
// (start, length, done) per segment and the data length, all little-endian
// 32-bit. Created full length, a record rewritten after every write, read
// back to resume, and at the end cut to the data and renamed to the target.
//
// "Held by another process" is an advisory flock on the file: the engine
// holds one while the file is open, and a file another holder keeps locked
// is neither resumed nor deleted (a substitute target name is used) and, at
// the end, is copied to "<name>.bk" and the copy finished instead.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "download/CurlDownload.h"
#include "download/DownloadLog.h"

namespace {

constexpr const char* kStart = "CurlDownloader::Start";
constexpr const char* kContinue = "CurlDownloader::ContinueDownloadByTmpFile";
constexpr const char* kFinalProc = "CurlDownloader::FinalProc";

constexpr size_t kRecordBytes = 12;
// Substitute names tried, and restarts through them, before giving up.
constexpr int kMaxSubstitutes = 1000;
constexpr int kMaxRestartDepth = 8;

void PutLe32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t GetLe32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

void EncodeRecord(const SegmentInfo& segment, unsigned char (&record)[kRecordBytes]) {
    PutLe32(record, segment.start);
    PutLe32(record + 4, segment.length);
    PutLe32(record + 8, segment.done);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Opens `path` for reading and writing with the engine's lock on it; -1
// with errno EWOULDBLOCK when another holder has it locked.
int OpenLocked(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | flags, 0644);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Deletes `path` unless another holder has it locked. True when it is gone.
bool DeleteUnlessHeld(const std::string& path) {
    int fd = OpenLocked(path, 0);
    if (fd < 0 && errno == EWOULDBLOCK) return false;
    bool gone = ::unlink(path.c_str()) == 0 || errno == ENOENT;
    if (fd >= 0) ::close(fd);
    return gone;
}

// Copies `from` to `to`, replacing `to`. 0 or an errno value.
int CopyFile(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
        ::ftruncate(out, 0);
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

// rename that never replaces an existing target.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

}  // namespace

void CurlDownloader::CommitTmpFile() {
    // To the kernel: a killed process loses nothing already flushed.
    if (tmpFile) std::fflush(tmpFile);
}

void CurlDownloader::CloseTmpFile(const char* function) {
    // The rule of every close: no transfer thread, and not the prefix
    // reader, may still hold the descriptor (a thread that just finished its
    // segment still writes its record).
    JoinAllThreads();
    StopPrefixReader();
    std::lock_guard<std::mutex> lock(mutex);
    CloseTmpFileLocked(function);
}

bool CurlDownloader::DiscardTmpFile() {
    std::string name = targetPath + ".dltmp";
    if (Exists(name) && !DeleteUnlessHeld(name)) return false;
    ::unlink(VersionFileOf(name).c_str());
    return true;
}

// Only CloseTmpFile and paths on which no thread has been started call this.
void CurlDownloader::CloseTmpFileLocked(const char* function) {
    if (!tmpFile) return;
    if (std::fclose(tmpFile) != 0)
        DOWNLOAD_LOG(function, ENGINE_PTR ", fclose Fail, GetLastError:%d", ENGINE_ADDR(this), errno);
    tmpFile = nullptr;
}

bool CurlDownloader::CreateTmpFile() {
    std::string name = targetPath + ".dltmp";
    uint64_t trailer = kRecordBytes * segments.size() + 4;
    downloadedSize = 0;

    // The version first: a temporary file never exists without the name of
    // the version its bytes belong to (when the server gives one).
    if (!SaveVersionFile(VersionFileOf(name), version)) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 版本文件写入失败, lastErrorCode=%d", ENGINE_ADDR(this), errno);
        return false;
    }
    int fd = OpenLocked(name, O_CREAT);
    int error = errno;
    if (fd >= 0 && ::ftruncate(fd, 0) != 0) error = errno;
    else if (fd >= 0) error = ::posix_fallocate(fd, 0, static_cast<off_t>(FileSize + trailer));
    if (fd < 0 || error != 0) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 临时文件创建失败, lastErrorCode=%d", ENGINE_ADDR(this), error);
        if (fd >= 0) ::close(fd);
        return false;
    }
    FILE* file = ::fdopen(fd, "rb+");
    if (!file) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 临时文件打开失败, lastErrorCode=%d", ENGINE_ADDR(this), errno);
        ::close(fd);
        return false;
    }

    bool written;
    {
        std::lock_guard<std::mutex> lock(mutex);
        tmpFile = file;
        unsigned char length[4];
        PutLe32(length, FileSize);
        written = fseeko(tmpFile, -4, SEEK_END) == 0 && std::fwrite(length, 1, 4, tmpFile) == 4;
        if (!written) error = errno;
    }
    if (!written) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 临时信息初始化写入失败, lastErrorCode=%d", ENGINE_ADDR(this), error);
        CloseTmpFile(kStart);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    fseeko(tmpFile, -static_cast<off_t>(trailer), SEEK_END);
    for (const auto& segment : segments) {
        unsigned char record[kRecordBytes];
        EncodeRecord(*segment, record);
        std::fwrite(record, 1, sizeof record, tmpFile);
    }
    CommitTmpFile();
    return true;
}

void CurlDownloader::SaveSegmentInfo(int index) {
    unsigned char record[kRecordBytes];
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!tmpFile) return;
        fd = fileno(tmpFile);
        EncodeRecord(*segments[index], record);
    }
    // A positioned write goes straight to the kernel: nothing waits in a
    // stream buffer, and the stream's position is left alone. Only the
    // segment's own thread rewrites its record, so rewrites keep their order.
    off_t at = static_cast<off_t>(FileSize) + static_cast<off_t>(kRecordBytes) * index;
    (void)!::pwrite(fd, record, sizeof record, at);
}

bool CurlDownloader::ContinueDownloadByTmpFile() {
    std::string name = targetPath + ".dltmp";
    int fd = OpenLocked(name, 0);
    FILE* file = fd >= 0 ? ::fdopen(fd, "rb+") : nullptr;
    if (!file) {
        if (fd >= 0) ::close(fd);
        return RestartAfterUnusableTmpFile();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        tmpFile = file;
    }
    resuming = true;
    bool probed = DownloadInit();
    resuming = false;
    if (!probed) {
        // Whatever stopped the probe (a pause, no network, a server that
        // fails or refuses), it says nothing against the file's progress:
        // it stays for a later run.
        std::lock_guard<std::mutex> lock(mutex);
        CloseTmpFileLocked(kContinue);
        return false;
    }
    FileVersion saved;
    LoadVersionFile(VersionFileOf(name), &saved);
    if (!saved.SameAs(version)) {
        DOWNLOAD_LOG(kContinue, ENGINE_PTR ", 服务器上的文件已不是临时文件的版本", ENGINE_ADDR(this));
        return RestartAfterUnusableTmpFile();
    }

    // Nothing else uses the file before the transfer threads start.
    unsigned char word[4];
    if (fseeko(file, 0, SEEK_END) != 0) return RestartAfterUnusableTmpFile();
    off_t fileLength = ftello(file);
    if (fileLength < 4 || fseeko(file, -4, SEEK_END) != 0 || std::fread(word, 1, 4, file) != 4)
        return RestartAfterUnusableTmpFile();
    uint32_t stored = GetLe32(word);
    uint32_t size = FileSize;
    if (stored != size || fileLength <= static_cast<off_t>(stored)) return RestartAfterUnusableTmpFile();

    uint64_t count = static_cast<uint64_t>(fileLength - stored - 4) / kRecordBytes;
    // No whole record, more records than one connection can have, or more
    // than the engine ever writes: nothing here can be trusted.
    if (count == 0 || (!IsMutilDonwload && count > 1) || count > static_cast<uint64_t>(kMaxSegments))
        return RestartAfterUnusableTmpFile();
    downloadedSize = 0;
    if (fseeko(file, static_cast<off_t>(stored), SEEK_SET) != 0) return RestartAfterUnusableTmpFile();

    uint32_t each = size / static_cast<uint32_t>(count);
    uint32_t previousEnd = 0;
    for (uint64_t i = 0; i < count; ++i) {
        auto segment = std::make_unique<SegmentInfo>();
        bool valid = true;
        if (IsMutilDonwload) {
            unsigned char record[kRecordBytes];
            if (std::fread(record, 1, sizeof record, file) != sizeof record) return RestartAfterUnusableTmpFile();
            uint32_t start = GetLe32(record), length = GetLe32(record + 4), done = GetLe32(record + 8);
            valid = start != 0xFFFFFFFFu && length != 0xFFFFFFFFu && done != 0xFFFFFFFFu && start < size &&
                    length <= size && done <= size && done <= length && length != 0 &&
                    static_cast<uint64_t>(start) + length <= size && start == previousEnd;
            segment->start = start;
            segment->length = length;
            segment->done = done;
        } else {
            DOWNLOAD_LOG(kContinue, ENGINE_PTR ", 单线程不支持断点续传，直接重新开始", ENGINE_ADDR(this));
            segment->start = 0;
            segment->length = size;
            segment->done = 0;
        }
        if (!valid) {
            DOWNLOAD_LOG(kContinue, ENGINE_PTR ", 断点续传第%d块信息有误，从新下载此块数据", ENGINE_ADDR(this),
                         static_cast<int>(i));
            // Starts where the previous segment ends, so no byte is left out.
            uint32_t end = i + 1 == count ? size : each * static_cast<uint32_t>(i + 1);
            if (end <= previousEnd) return RestartAfterUnusableTmpFile();
            segment->start = previousEnd;
            segment->length = end - previousEnd;
            segment->done = 0;
        }
        previousEnd = segment->start + segment->length;
        downloadedSize += segment->done;
        segments.push_back(std::move(segment));
    }
    // Records that end short of the data would leave its tail out.
    if (previousEnd != size) return RestartAfterUnusableTmpFile();

    DOWNLOAD_LOG(kContinue, ENGINE_PTR ", 断点续传开始，上一次已下载百分比%f%%", ENGINE_ADDR(this),
                 downloadedSize * 100.0 / size);

    StartPrefixReader();
    // As many connections as a fresh start would open, whatever the records.
    if (!StartConnections(std::min(requestedCount, kMaxSegments))) {
        Stop(DownloadEnd::LocalError, true);
        Pause();
        CloseTmpFile(kContinue);
        return false;
    }
    return true;
}

bool CurlDownloader::RestartAfterUnusableTmpFile() {
    DOWNLOAD_LOG(kContinue, ENGINE_PTR ", 临时文件有问题，重新开始下载", ENGINE_ADDR(this));
    CloseTmpFile(kContinue);
    ClearSegments();
    std::string name = targetPath + ".dltmp";
    if (!DiscardTmpFile()) {
        std::string substitute;
        for (int i = 0; i < kMaxSubstitutes && substitute.empty(); ++i) {
            std::string candidate = targetPath + "~bk" + std::to_string(i);
            if (!Exists(candidate)) substitute = candidate;
        }
        if (substitute.empty() || startDepth > kMaxRestartDepth) return false;
        targetPath = substitute;
        DOWNLOAD_LOG(kContinue, ENGINE_PTR ", 临时文件被占用无法删除，更改下载目标文件名为%s", ENGINE_ADDR(this),
                     targetPath.c_str());
    }
    return Start(url, targetPath, &requestedCount);
}

bool CurlDownloader::FinalProc() {
    bool stopped = false;
    bool complete = IsComplete(&stopped);
    if (!stopped) return false;
    CloseTmpFile(kFinalProc);
    if (!complete) return false;

    std::string name = targetPath + ".dltmp";
    const std::string versionFile = VersionFileOf(name);
    int fd = OpenLocked(name, 0);
    int error = errno;
    if (fd < 0 && error == EWOULDBLOCK) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 临时文件被占用，拷贝之!", ENGINE_ADDR(this));
        std::string copy = name + ".bk";
        error = CopyFile(name, copy);
        if (error == 0) {
            DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 临时文件拷贝成功!", ENGINE_ADDR(this));
            name = copy;
            fd = OpenLocked(name, 0);
            error = errno;
        } else {
            DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 临时文件被占用，拷贝失败, GetLastError:%d", ENGINE_ADDR(this),
                         error);
        }
    }
    if (fd < 0) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", CreateFileA Fail, GetLastError:%d", ENGINE_ADDR(this), error);
        return false;
    }

    // Cut at the remote length itself: whatever follows the data (the
    // trailer, or stray bytes after it) goes.
    off_t size = static_cast<off_t>(FileSize.load());
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < size) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", SetFilePointer Fail, GetLastError:%d", ENGINE_ADDR(this),
                     end < 0 ? errno : EINVAL);
        ::close(fd);
        return false;
    }
    if (::ftruncate(fd, size) != 0) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", SetEndOfFile Fail, GetLastError:%d", ENGINE_ADDR(this), errno);
        ::close(fd);
        return false;
    }
    ::close(fd);

    // A substitute name goes back to the target the caller asked for.
    if (!requestedTarget.empty() && targetPath != requestedTarget) {
        targetPath = requestedTarget;
        DOWNLOAD_LOG(kFinalProc,
                     ENGINE_PTR ", 下载目标文件名曾因断点续传时临时文件被占用而更改过，现在还原为%s",
                     ENGINE_ADDR(this), targetPath.c_str());
    }
    if (!RenameNoReplace(name, targetPath)) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", rename Fail, GetLastError:%d", ENGINE_ADDR(this), errno);
        return false;
    }
    ::unlink(versionFile.c_str());
    return true;
}
