#include "download/CurlDownload.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include "download/DownloadFile.h"
#include "download/DownloadLog.h"
#include "download/DownloadOutcome.h"
#include "download/DownloadTokens.h"
#include "platform/network.h"

const CurlDownloadSettings CurlDownloadConfig{};

namespace {

constexpr const char* kStart = "CurlDownloader::Start";
constexpr const char* kDownloadFun = "CurlDownloader::DownloadFun";
constexpr const char* kWriteData = "CurlDownloader::WriteData";
constexpr const char* kPause = "CurlDownloader::Pause";

// Larger reads than libcurl's 16 KiB mean fewer write callbacks, each of
// which costs a data write and a record write.
constexpr long kTransferBufferBytes = 256 * 1024;

}  // namespace

uint32_t RetryDelayMs(int32_t doublings) {
    if (doublings < 0) doublings = 0;
    if (doublings >= 6) return kMaxRetryDelayMs;  // 64 s would pass the cap
    return std::min<uint32_t>(1000u << doublings, kMaxRetryDelayMs);
}

std::vector<SegmentPlan> PlanSegments(uint32_t fileSize, int32_t requested, bool ranges) {
    int32_t count = 1;
    if (ranges) {
        double blocks = std::ceil(fileSize / static_cast<double>(CurlDownloadConfig.blockSize));
        count = static_cast<int32_t>(std::min<double>(requested, blocks));
        count = std::max(count, 1);
    }
    std::vector<SegmentPlan> plan;
    uint32_t each = fileSize / static_cast<uint32_t>(count);
    for (int32_t i = 0; i < count; ++i) {
        uint32_t start = each * static_cast<uint32_t>(i);
        plan.push_back({start, i == count - 1 ? fileSize - start : each});
    }
    return plan;
}

std::vector<SegmentPlan> PlanPieces(uint32_t fileSize, const std::vector<SegmentPlan>& connections) {
    const uint32_t pieces = static_cast<uint32_t>(kMaxSegments);
    if (connections.size() < 2 || connections.size() >= pieces || fileSize / pieces < kMinPieceBytes)
        return connections;
    std::vector<SegmentPlan> plan;
    uint32_t each = fileSize / pieces;
    for (uint32_t i = 0; i < pieces; ++i) {
        uint32_t start = each * i;
        plan.push_back({start, i == pieces - 1 ? fileSize - start : each});
    }
    return plan;
}

CurlDownloader::CurlDownloader() = default;

CurlDownloader::~CurlDownloader() {
    Pause();
    CloseTmpFile(kPause);
    ClearSegments();
    if (ifRangeHeader) curl_slist_free_all(ifRangeHeader);
}

void CurlDownloader::SetHooks(CurlDownloadHooks newHooks) { hooks = std::move(newHooks); }

bool CurlDownloader::Start(const std::string& newUrl, const std::string& newTarget,
                           const int32_t* threadCount) {
    int32_t requested = threadCount ? *threadCount : CurlDownloadConfig.threadCount;
    if (startDepth == 0) {
        // Started again while transfers run: stop them before their segments go.
        Pause();
        CloseTmpFile(kStart);
        requestedTarget = newTarget;
        requestedUrl = newUrl;
        requestedCount = requested;
        // Only the outermost Start clears a stop: one asked for while a
        // nested Start probes must hold.
        paused = cancelled.load();
        halted = false;
        end = DownloadEnd::Running;
        fileChanged = false;
        unusableRanges = 0;
    }
    if (requested < 1) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 连接数%d无效，至少为1", ENGINE_ADDR(this), requested);
        Stop(DownloadEnd::Refused, false);
        return false;
    }
    requested = std::min(requested, kMaxSegments);

    url = newUrl;
    targetPath = newTarget;
    FileSize = 0;
    downloadedSize = 0;
    IsMutilDonwload = false;
    CloseTmpFile(kStart);
    ClearSegments();

    download_file::Remove(targetPath);

    std::string tmpName = targetPath + ".dltmp";
    if (download_file::Exists(tmpName)) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 根据上次的临时文件，进行断点续传", ENGINE_ADDR(this));
        ++startDepth;
        bool started = ContinueDownloadByTmpFile();
        --startDepth;
        return started;
    }

    if (!DownloadInit()) return false;

    const std::vector<SegmentPlan> connections = PlanSegments(FileSize, requested, IsMutilDonwload);
    for (const SegmentPlan& part : PlanPieces(FileSize, connections)) {
        auto segment = std::make_unique<SegmentInfo>();
        segment->start = part.start;
        segment->length = part.length;
        segments.push_back(std::move(segment));
    }

    if (!CreateTmpFile()) {
        Stop(DownloadEnd::LocalError, false);
        return false;
    }
    StartPrefixReader();

    if (!StartConnections(static_cast<int32_t>(connections.size()))) {
        Stop(DownloadEnd::LocalError, true);
        Pause();
        FinalProc();
        return false;
    }
    return true;
}

bool CurlDownloader::StartConnections(int32_t count) {
    for (int32_t started = 0; started < count; ++started) {
        int index = ClaimPiece();
        if (index < 0) return true;
        if (!StartSegmentThread(index)) {
            DOWNLOAD_LOG(kStart, ENGINE_PTR ", 线程%d开启失败", ENGINE_ADDR(this), index);
            return false;
        }
    }
    return true;
}

int CurlDownloader::ClaimPiece(SegmentInfo* leaving) {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < segments.size(); ++i) {
        SegmentInfo& piece = *segments[i];
        if (piece.claimed || piece.done >= piece.length) continue;
        piece.claimed = true;
        return static_cast<int>(i);
    }
    // Nothing left for this connection: it stops counting as running in the
    // same step, so a piece released later is not left to it.
    if (leaving) leaving->running = false;
    return -1;
}

bool CurlDownloader::MovePiece(int from, int to) {
    SegmentInfo& done = *segments[from];
    SegmentInfo& next = *segments[to];
    FormatThreadToken(next.token, this, to);
    next.handle = done.handle;
    done.handle = nullptr;
    next.retries = 0;
    next.unproductive = 0;
    void* user = next.token;
    return next.handle && curl_easy_setopt(next.handle, CURLOPT_WRITEDATA, user) == CURLE_OK &&
           curl_easy_setopt(next.handle, CURLOPT_HEADERDATA, user) == CURLE_OK;
}

bool CurlDownloader::Restart() {
    if (end != DownloadEnd::Restart || cancelled) return false;
    CloseTmpFile(kStart);
    if (fileChanged && changeRestarted) {
        // Ranged answers that keep naming another file than the probe found
        // cannot be used: one plain connection is the last way left.
        if (singleConnection || !IsMutilDonwload) {
            DOWNLOAD_LOG(kStart, ENGINE_PTR ", 服务器上的文件在下载中再次改变，停止下载", ENGINE_ADDR(this));
            end = DownloadEnd::Refused;
            return false;
        }
        singleConnection = true;
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 服务器的分段应答不可用，改用单线程下载", ENGINE_ADDR(this));
    } else if (fileChanged) {
        changeRestarted = true;
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 服务器上的文件已改变，从头重新下载", ENGINE_ADDR(this));
    } else {
        singleConnection = true;
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 服务器的分段应答不可用，改用单线程下载", ENGINE_ADDR(this));
    }
    // A changed file's bytes are of no use, and one plain connection cannot
    // resume a file of several parts.
    if (!DiscardTmpFile()) {
        DOWNLOAD_LOG(kStart, ENGINE_PTR ", 临时文件被占用无法删除", ENGINE_ADDR(this));
        end = DownloadEnd::LocalError;
        return false;
    }
    return Start(requestedUrl, requestedTarget, &requestedCount);
}

void CurlDownloader::Stop(DownloadEnd why, bool all) {
    auto rank = [](DownloadEnd e) {
        switch (e) {
            case DownloadEnd::Running: return 0;
            case DownloadEnd::Restart: return 3;
            case DownloadEnd::Refused:
            case DownloadEnd::LocalError: return 2;
            default: return 1;
        }
    };
    DownloadEnd current = end.load();
    while (rank(why) > rank(current) && !end.compare_exchange_weak(current, why)) {
    }
    if (all) {
        halted = true;
        WakePrefix();
    }
}

bool CurlDownloader::StartSegmentThread(int index) {
    SegmentInfo& segment = *segments[index];
    FormatThreadToken(segment.token, this, index);
    if (!InitSegmentHandle(segment.token)) return false;
    segment.running = true;
    try {
        segment.thread = std::thread(&CurlDownloader::DownloadFun, static_cast<void*>(segment.token));
    } catch (const std::system_error&) {
        segment.running = false;
        curl_easy_cleanup(segment.handle);
        segment.handle = nullptr;
        return false;
    }
    return true;
}

SegmentInfo* CurlDownloader::SegmentOf(const void* token, CurlDownloader** engine, int* index) {
    uintptr_t address = 0;
    int parsed = 0;
    if (!ParseThreadToken(static_cast<const char*>(token), &address, &parsed)) return nullptr;
    auto* owner = reinterpret_cast<CurlDownloader*>(address);
    if (static_cast<size_t>(parsed) >= owner->segments.size()) return nullptr;
    *engine = owner;
    *index = parsed;
    return owner->segments[parsed].get();
}

bool CurlDownloader::InitSegmentHandle(const char* token) {
    CurlDownloader* owner = nullptr;
    int index = 0;
    SegmentInfo* segment = SegmentOf(token, &owner, &index);
    if (!segment || owner != this) return false;

    CURL* handle = curl_easy_init();
    if (!handle) return false;
    void* user = const_cast<char*>(token);
    bool ok = ApplyCommonOptions(handle) &&
              curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              CheckSSL(handle, url) &&
              curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlDownloader::WriteData) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_WRITEDATA, user) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CurlDownloader::SegmentHeader) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_HEADERDATA, user) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects)) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_HTTPHEADER, ifRangeHeader) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kTransferBufferBytes) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds()) == CURLE_OK;
    if (!ok) {
        curl_easy_cleanup(handle);
        return false;
    }
    segment->retries = 0;
    segment->handle = handle;
    return true;
}

void* CurlDownloader::DownloadFun(void* token) {
    CurlDownloader* engine = nullptr;
    int index = 0;
    if (!SegmentOf(token, &engine, &index)) return nullptr;
    engine->RunSegment(index);
    return nullptr;
}

void CurlDownloader::RunSegment(int first) {
    SegmentInfo& connection = *segments[first];
    int index = first;
    CURLcode result = CURLE_OK;
    // The handle goes from piece to piece, and with it the open connection.
    while (FetchPiece(index, &result)) {
        int next = ClaimPiece(&connection);
        if (next < 0) break;
        bool moved = MovePiece(index, next);
        index = next;
        if (!moved) {
            DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d初始化失败", ENGINE_ADDR(this), index);
            Stop(DownloadEnd::LocalError, true);
            break;
        }
    }
    SegmentInfo& last = *segments[index];
    if (last.handle) curl_easy_cleanup(last.handle);
    last.handle = nullptr;
    if (last.exhausted) {
        // One connection that keeps failing (a server that allows fewer
        // connections answers the others 503) is no reason to stop those
        // that work: its piece goes back to them. Only the last connection
        // gives the download up. Decided under the lock that ClaimPiece
        // takes, so a released piece always has a taker or a reason.
        bool othersRun = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            last.exhausted = false;
            last.claimed = false;
            connection.running = false;
            for (const auto& segment : segments) othersRun = othersRun || segment->running;
        }
        if (!othersRun) Stop(DownloadEnd::GaveUp, true);
    }
    connection.running = false;
    if (hooks.segmentEnded) hooks.segmentEnded();
}

bool CurlDownloader::FetchPiece(int index, CURLcode* lastResult) {
    SegmentInfo& segment = *segments[index];
    CURLcode result = CURLE_OK;
    bool complete = false;
    bool gaveUp = false;
    auto remainingBytes = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return segment.length - segment.done;
    };

    while (!Stopping()) {
        uint32_t remaining = remainingBytes();
        if (remaining == 0) {
            complete = true;
            break;
        }
        uint32_t from = segment.start + (segment.length - remaining);
        segment.check = ResponseCheck{};
        if (IsMutilDonwload) {
            char range[64];
            std::snprintf(range, sizeof range, "%lu-%lu", static_cast<unsigned long>(from),
                          static_cast<unsigned long>(from) + remaining - 1);
            segment.check.askedFrom = from;
            result = curl_easy_setopt(segment.handle, CURLOPT_RANGE, range);
            if (result != CURLE_OK) {
                Stop(DownloadEnd::LocalError, true);
                gaveUp = true;
                break;
            }
        }

        result = curl_easy_perform(segment.handle);

        uint32_t left = remainingBytes();
        // Only ranged transfers keep what they delivered: a single
        // connection starts again from the file's first byte.
        // Every byte of the segment is in: complete, whatever became of the
        // rest of the answer (cut off by the engine, or reset after the last
        // byte).
        if (left == 0) continue;
        bool delivered = IsMutilDonwload && left < remaining;
        if (result == CURLE_OK && delivered) {
            segment.unproductive = 0;
            continue;
        }
        uint32_t delayMs = 0;
        if (!NextAttempt(index, result, delivered, &delayMs)) {
            gaveUp = true;
            break;
        }
        SleepEx(delayMs);
    }

    if (complete && segment.retries != 0)
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d接收数据完毕，重试次数：%d", ENGINE_ADDR(this), index,
                     segment.retries);
    if (gaveUp)
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d接收数据失败，错误码：CURLCode=%d", ENGINE_ADDR(this), index,
                     static_cast<int>(result));
    *lastResult = result;
    return complete;
}

bool CurlDownloader::NextAttempt(int index, CURLcode result, bool delivered, uint32_t* delayMs) {
    SegmentInfo& segment = *segments[index];
    if (Stopping()) return false;
    long status = 0;
    curl_easy_getinfo(segment.handle, CURLINFO_RESPONSE_CODE, &status);

    const ResponseCheck& check = segment.check;
    if (check.verdict == ResponseCheck::Verdict::OtherVersion) {
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d发现服务器上的文件已改变(HttpCode: %ld)", ENGINE_ADDR(this),
                     index, status);
        fileChanged = true;
        Stop(DownloadEnd::Restart, true);
        return false;
    }
    // A range past the end of the file as the server now has it: another
    // version, as much as a 206 with another total. Every range asked lies
    // within the probed length, so a 416 that names no total says the same.
    if (status == 416 && check.rangeTotal != static_cast<int64_t>(FileSize.load())) {
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d发现服务器上的文件长度已改变(HttpCode: 416)", ENGINE_ADDR(this),
                     index);
        fileChanged = true;
        Stop(DownloadEnd::Restart, true);
        return false;
    }
    bool unusable = check.verdict == ResponseCheck::Verdict::Unusable;
    if (unusable && IsMutilDonwload && ++unusableRanges >= CurlDownloadConfig.unusableRangeLimit) {
        Stop(DownloadEnd::Restart, true);
        return false;
    }
    // A lost network is not retried: the owner resumes once it is back.
    if (!NetworkAlive()) {
        Stop(DownloadEnd::NetworkLost, true);
        return false;
    }
    if (!unusable && JudgeAttempt(result, status) == AttemptVerdict::Refuse) {
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d的请求被拒绝，不再重试(HttpCode: %ld, CURLcode: %d)",
                     ENGINE_ADDR(this), index, status, static_cast<int>(result));
        Stop(DownloadEnd::Refused, true);
        return false;
    }
    segment.unproductive = delivered ? 0 : segment.unproductive + 1;
    if (segment.unproductive > CurlDownloadConfig.unproductiveLimit) {
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d重试下载失败", ENGINE_ADDR(this), index);
        // RunSegment decides whether the whole download gives up.
        segment.exhausted = true;
        return false;
    }
    curl_easy_cleanup(segment.handle);
    segment.handle = nullptr;
    int32_t retries = segment.retries;
    if (!InitSegmentHandle(segment.token)) {
        DOWNLOAD_LOG(kDownloadFun, ENGINE_PTR ", 线程%d初始化失败，无法尝试重试", ENGINE_ADDR(this), index);
        Stop(DownloadEnd::LocalError, true);
        return false;
    }
    segment.retries = retries + 1;
    // Data delivered: the link works, ask again at once (whatever Retry-After
    // the cut answer carried). Otherwise the delay doubles with the attempts
    // in a row that brought nothing, unless the server said how long to wait.
    *delayMs = segment.unproductive == 0 ? 0 : RetryDelayMs(segment.unproductive - 1);
    if (uint32_t asked = RetryAfterMs(check.retryAfter, kMaxRetryDelayMs); asked && !delivered) *delayMs = asked;
    if (!IsMutilDonwload) {
        std::lock_guard<std::mutex> lock(mutex);
        StartOverLocked(segment);
    }
    uint32_t size = FileSize;
    float percent = size ? static_cast<float>(downloadedSize * 100.0 / size) : 0.0f;
    DOWNLOAD_LOG(kDownloadFun,
                 ENGINE_PTR ", 下载进度:%f%%, 线程%d下载数据失败，lastHttpCode: %d, CURLcode: %d, 尝试第%d次重试",
                 ENGINE_ADDR(this), percent, index, static_cast<int>(status), static_cast<int>(result),
                 segment.retries);
    return true;
}

size_t CurlDownloader::SegmentHeader(char* data, size_t size, size_t count, void* token) {
    CurlDownloader* engine = nullptr;
    int index = 0;
    if (SegmentInfo* segment = SegmentOf(token, &engine, &index)) NoteResponseHeader(segment->check, data, size * count);
    return size * count;
}

size_t CurlDownloader::WriteData(char* data, size_t size, size_t count, void* userPointer) {
    if (IsRangeTestToken(userPointer)) return CountRangeTestBytes(userPointer, size, count);
    CurlDownloader* engine = nullptr;
    int index = 0;
    if (!SegmentOf(userPointer, &engine, &index)) return size * count;
    return engine->WriteSegment(index, data, size, count);
}

size_t CurlDownloader::WriteSegment(int index, const char* data, size_t size, size_t count) {
    SegmentInfo& segment = *segments[index];
    size_t bytes = size * count;
    if (bytes == 0 || size == 0) return bytes;

    ResponseCheck& check = segment.check;
    if (check.verdict == ResponseCheck::Verdict::Pending) {
        check.verdict = JudgeBody(check, FileSize, version);
        if (check.verdict != ResponseCheck::Verdict::Accepted)
            DOWNLOAD_LOG(kWriteData,
                         ENGINE_PTR ", 线程%d的应答不符合请求(HttpCode: %ld, 请求起点: %lld, Content-Range起点: %lld, "
                                    "总长: %lld)，不写入",
                         ENGINE_ADDR(this), index, check.status, static_cast<long long>(check.askedFrom),
                         static_cast<long long>(check.rangeFirst),
                         static_cast<long long>(check.askedFrom >= 0 ? check.rangeTotal : check.contentLength));
    }
    if (check.verdict != ResponseCheck::Verdict::Accepted) return 0;

    // Only this thread writes this segment's bytes and record, at offsets
    // of their own (positioned writes, no shared stream position), so the
    // lock covers just the counters that other threads read.
    const DownloadFile* file;
    uint32_t done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        file = tmpFile ? &tmpFile : nullptr;
        done = segment.done;
    }
    // A full segment takes nothing more: an answer that goes on past the
    // bytes asked for (or for ever) is cut off here, and the segment counts
    // as complete.
    if (done >= segment.length) return 0;
    bool failed = false;
    bool full = false;
    bool grewPrefix = false;
    size_t taken = 0;
    {
        size_t room = segment.length - done;
        // An answer ends where its Content-Range says, whatever length it
        // claims: bytes after that are not the ones that follow in the file.
        if (check.askedFrom >= 0) {
            const uint64_t at = uint64_t{segment.start} + done;
            const uint64_t answerEnd = static_cast<uint64_t>(check.rangeLast) + 1;
            room = static_cast<size_t>(std::min<uint64_t>(room, answerEnd > at ? answerEnd - at : 0));
        }
        size_t items = bytes <= room ? count : room / size;
        taken = items * size;
        uint64_t at = uint64_t{segment.start} + done;
        // One writer at a time: the file system serialises writes to one
        // file anyway, and its lock spins on a busy owner, burning a core
        // per waiting connection; waiting here sleeps instead.
        std::unique_lock<std::mutex> writing(writeMutex);
        int error = 0;
        int64_t written = file ? file->WriteAt(at, data, items * size, &error) : -1;
        if (written < 0) {
            if (!file) error = download_file::BadHandle();
            DOWNLOAD_LOG(kWriteData, ENGINE_PTR ", _fseeki64 error! GetLastError:%d", ENGINE_ADDR(this), error);
            failed = true;
        } else {
            size_t whole = static_cast<size_t>(written) / size * size;
            std::lock_guard<std::mutex> lock(mutex);
            // Only bytes at the end of the contiguous prefix give its reader more to do.
            grewPrefix = hooks.prefixData && ContiguousBytesLocked() == uint64_t{segment.start} + segment.done;
            segment.done += static_cast<uint32_t>(whole);
            downloadedSize += static_cast<uint32_t>(whole);
            failed = whole < items * size;
            full = segment.done == segment.length;
        }
        if (failed) {
            writing.unlock();
            Stop(DownloadEnd::LocalError, true);
            writing.lock();
        }
        SaveSegmentInfo(index);
    }
    if (grewPrefix) prefixCv.notify_one();
    // A file that cannot be written ends the download; its progress so far
    // stays recorded.
    if (failed) return 0;
    // The segment is full or the answer has ended: nothing more of it is taken.
    if (taken < bytes) return 0;
    if (Stopping() && !full) {
        if (!IsMutilDonwload) {
            std::lock_guard<std::mutex> lock(mutex);
            StartOverLocked(segment);
        }
        return bytes - 1;
    }
    return bytes;
}

void CurlDownloader::StartOverLocked(SegmentInfo& segment) {
    downloadedSize -= segment.done;
    segment.done = 0;
    // The prefix reader may have fallen behind by more than the new attempt
    // has written again: only this count tells it that its bytes are stale.
    ++startsOver;
}

bool CurlDownloader::IsComplete(bool* stopped) {
    bool complete = true;
    bool anyAlive = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& segment : segments) {
            if (segment->done != segment->length) complete = false;
            if (segment->running) anyAlive = true;
        }
    }
    if (stopped) *stopped = complete || !anyAlive;
    return complete && !segments.empty();
}

bool CurlDownloader::Pause() {
    paused = true;
    WakePrefix();
    bool result = true;
    for (size_t i = 0; i < segments.size(); ++i) {
        SegmentInfo& segment = *segments[i];
        bool unfinished;
        {
            std::lock_guard<std::mutex> lock(mutex);
            unfinished = segment.done < segment.length;
        }
        // A connection started on a finished piece may be fetching another.
        if ((!unfinished && !segment.running) || !segment.thread.joinable()) continue;
        if (segment.thread.get_id() == std::this_thread::get_id()) continue;
        try {
            segment.thread.join();
        } catch (const std::system_error&) {
            DOWNLOAD_LOG(kPause, ENGINE_PTR ", 线程%d暂停失败", ENGINE_ADDR(this), static_cast<int>(i));
            result = false;
        }
    }
    return result;
}

bool CurlDownloader::WaitAndFinish(const std::function<bool()>& accept) {
    JoinAllThreads();
    StopPrefixReader();
    if (accept && IsComplete(nullptr) && !accept()) {
        DiscardFinished();
        return false;
    }
    return FinalProc();
}

void CurlDownloader::JoinAllThreads() {
    for (auto& segment : segments)
        if (segment->thread.joinable() && segment->thread.get_id() != std::this_thread::get_id())
            segment->thread.join();
}

void CurlDownloader::ClearSegments() {
    JoinAllThreads();
    for (auto& segment : segments)
        if (segment->handle) curl_easy_cleanup(segment->handle);
    segments.clear();
}

bool CurlDownloader::NetworkAlive() const {
    return hooks.networkAlive ? hooks.networkAlive() : platform::IsNetworkAlive();
}
