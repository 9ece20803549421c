// The ".dltmp" file: the data at its final offsets, then one 12-byte record
// (start, length, done) per segment and the data length, all little-endian
// 32-bit. Created full length, a record rewritten after every write, read
// back to resume, and at the end cut to the data and renamed to the target.
//
// "Held by another process" is what DownloadFile::OpenHeld says: the engine
// holds the file while it is open, and a file another holder keeps is
// neither resumed nor deleted (a substitute target name is used) and, at the
// end, is copied to "<name>.bk" and the copy finished instead.
#include <algorithm>
#include <string>

#include "download/CurlDownload.h"
#include "download/DownloadFile.h"
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

bool Exists(const std::string& path) { return download_file::Exists(path); }

}  // namespace

void CurlDownloader::CommitTmpFile() {
    // To the system: a killed process loses nothing already written.
    tmpFile.Commit();
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
    if (Exists(name) && !download_file::RemoveUnlessHeld(name)) return false;
    download_file::Remove(VersionFileOf(name));
    return true;
}

// Only CloseTmpFile and paths on which no thread has been started call this.
void CurlDownloader::CloseTmpFileLocked(const char* function) {
    if (!tmpFile) return;
    if (int error = tmpFile.Close(); error != 0)
        DOWNLOAD_LOG(function, ENGINE_PTR ", fclose Fail, GetLastError:%d", ENGINE_ADDR(this), error);
}

bool CurlDownloader::CreateTmpFile() {
    std::string name = targetPath + ".dltmp";
    uint64_t trailer = kRecordBytes * segments.size() + 4;
    downloadedSize = 0;

    // The version first: a temporary file never exists without the name of
    // the version its bytes belong to (when the server gives one).
    if (!SaveVersionFile(VersionFileOf(name), version)) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 版本文件写入失败, lastErrorCode=%d", ENGINE_ADDR(this),
                     download_file::LastError());
        return false;
    }
    int error = 0;
    bool held = false;
    DownloadFile file = DownloadFile::OpenHeld(name, true, &error, &held);
    if (!file || !file.Allocate(FileSize + trailer, &error)) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 临时文件创建失败, lastErrorCode=%d", ENGINE_ADDR(this), error);
        return false;
    }

    // The records, then the data length, in one write behind the data.
    std::string tail(static_cast<size_t>(trailer), '\0');
    unsigned char* at = reinterpret_cast<unsigned char*>(tail.data());
    for (const auto& segment : segments) {
        unsigned char record[kRecordBytes];
        EncodeRecord(*segment, record);
        std::copy(record, record + kRecordBytes, at);
        at += kRecordBytes;
    }
    PutLe32(at, FileSize);
    bool written;
    {
        std::lock_guard<std::mutex> lock(mutex);
        tmpFile = std::move(file);
        written = tmpFile.WriteAt(FileSize, tail.data(), tail.size(), &error) == static_cast<int64_t>(tail.size());
    }
    if (!written) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 临时信息初始化写入失败, lastErrorCode=%d", ENGINE_ADDR(this), error);
        CloseTmpFile(kStart);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    CommitTmpFile();
    return true;
}

void CurlDownloader::SaveSegmentInfo(int index) {
    unsigned char record[kRecordBytes];
    const DownloadFile* file;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!tmpFile) return;
        file = &tmpFile;
        EncodeRecord(*segments[index], record);
    }
    // A positioned write goes straight to the system: nothing waits in a
    // buffer of ours. Only the segment's own thread rewrites its record, so
    // rewrites keep their order.
    uint64_t at = uint64_t{FileSize} + uint64_t{kRecordBytes} * static_cast<uint64_t>(index);
    int error = 0;
    (void)file->WriteAt(at, record, sizeof record, &error);
}

bool CurlDownloader::ContinueDownloadByTmpFile() {
    std::string name = targetPath + ".dltmp";
    int error = 0;
    bool held = false;
    DownloadFile opened = DownloadFile::OpenHeld(name, false, &error, &held);
    if (!opened) return RestartAfterUnusableTmpFile();
    {
        std::lock_guard<std::mutex> lock(mutex);
        tmpFile = std::move(opened);
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
    const DownloadFile& file = tmpFile;
    unsigned char word[4];
    uint64_t fileLength = 0;
    if (!file.Length(&fileLength, &error)) return RestartAfterUnusableTmpFile();
    if (fileLength < 4 || !file.ReadAllAt(fileLength - 4, word, 4)) return RestartAfterUnusableTmpFile();
    uint32_t stored = GetLe32(word);
    uint32_t size = FileSize;
    if (stored != size || fileLength <= stored) return RestartAfterUnusableTmpFile();

    uint64_t count = static_cast<uint64_t>(fileLength - stored - 4) / kRecordBytes;
    // No whole record, more records than one connection can have, or more
    // than the engine ever writes: nothing here can be trusted.
    if (count == 0 || (!IsMutilDonwload && count > 1) || count > static_cast<uint64_t>(kMaxSegments))
        return RestartAfterUnusableTmpFile();
    downloadedSize = 0;
    uint64_t recordAt = stored;

    uint32_t each = size / static_cast<uint32_t>(count);
    uint32_t previousEnd = 0;
    for (uint64_t i = 0; i < count; ++i) {
        auto segment = std::make_unique<SegmentInfo>();
        bool valid = true;
        if (IsMutilDonwload) {
            unsigned char record[kRecordBytes];
            if (!file.ReadAllAt(recordAt, record, sizeof record)) return RestartAfterUnusableTmpFile();
            recordAt += sizeof record;
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

void CurlDownloader::DiscardFinished() {
    CloseTmpFile(kFinalProc);
    const std::string name = targetPath + ".dltmp";
    DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 下载完成的文件未通过校验，删除临时文件", ENGINE_ADDR(this));
    download_file::Remove(name);
    download_file::Remove(VersionFileOf(name));
}

bool CurlDownloader::FinalProc() {
    bool stopped = false;
    bool complete = IsComplete(&stopped);
    if (!stopped) return false;
    CloseTmpFile(kFinalProc);
    if (!complete) return false;

    std::string name = targetPath + ".dltmp";
    const std::string versionFile = VersionFileOf(name);
    int error = 0;
    bool held = false;
    DownloadFile file = DownloadFile::OpenHeld(name, false, &error, &held);
    if (!file && held) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 临时文件被占用，拷贝之!", ENGINE_ADDR(this));
        std::string copy = name + ".bk";
        error = download_file::Copy(name, copy);
        if (error == 0) {
            DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 临时文件拷贝成功!", ENGINE_ADDR(this));
            name = copy;
            file = DownloadFile::OpenHeld(name, false, &error, &held);
        } else {
            DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", 临时文件被占用，拷贝失败, GetLastError:%d", ENGINE_ADDR(this),
                         error);
        }
    }
    if (!file) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", CreateFileA Fail, GetLastError:%d", ENGINE_ADDR(this), error);
        return false;
    }

    // Cut at the remote length itself: whatever follows the data (the
    // trailer, or stray bytes after it) goes.
    const uint64_t size = FileSize.load();
    uint64_t end = 0;
    const bool measured = file.Length(&end, &error);
    if (!measured || end < size) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", SetFilePointer Fail, GetLastError:%d", ENGINE_ADDR(this),
                     measured ? download_file::InvalidArgument() : error);
        return false;
    }
    if (!file.SetLength(size, &error)) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", SetEndOfFile Fail, GetLastError:%d", ENGINE_ADDR(this), error);
        return false;
    }
    file.Close();

    // A substitute name goes back to the target the caller asked for.
    if (!requestedTarget.empty() && targetPath != requestedTarget) {
        targetPath = requestedTarget;
        DOWNLOAD_LOG(kFinalProc,
                     ENGINE_PTR ", 下载目标文件名曾因断点续传时临时文件被占用而更改过，现在还原为%s",
                     ENGINE_ADDR(this), targetPath.c_str());
    }
    if (!download_file::RenameNoReplace(name, targetPath, &error)) {
        DOWNLOAD_LOG(kFinalProc, ENGINE_PTR ", rename Fail, GetLastError:%d", ENGINE_ADDR(this), error);
        return false;
    }
    download_file::Remove(versionFile);
    return true;
}
