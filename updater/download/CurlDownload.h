// CurlDownloader: one file fetched over HTTP(S) by up to five connections,
// each writing its byte range straight into a pre-sized "<target>.dltmp"
// whose trailer records every segment's progress, so that a killed process
// resumes where it stopped.
//
// Files:
//   CurlDownload.cpp     start, transfer threads, write callback, pause, finish
//   DownloadProbe.cpp    server probing, retry waits, TLS options
//   DownloadTmpFile.cpp  the ".dltmp" file: creation, records, resume, final rename
//   DownloadTokens.cpp   the texts handed to threads and callbacks
//   CurlShare.cpp        libcurl start-up and the shared DNS cache
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/CurlShare.h"

// The engine's fixed settings.
struct CurlDownloadSettings {
    int32_t threadCount = 5;     // connections when Start is given no count
    int32_t timeout = 6000;      // seconds: connect timeout, and the probes' overall timeout
    int32_t retryLimit = 500;    // retries per segment thread and per probe
    int32_t blockSize = 5242880; // bytes per connection when choosing the count
    std::string certFile;        // client certificate beside the program; empty: none
    std::string keyFile;         // client key beside the program; empty: none
};
extern const CurlDownloadSettings CurlDownloadConfig;

// What a test or tool may change about one engine before Start. The defaults
// are what the updater uses.
struct CurlDownloadHooks {
    // Replaces the real wait of SleepEx (which still notices a pause first).
    // Called on whichever thread retries.
    std::function<void(uint32_t ms)> sleep;
    // Replaces the system's network-state query.
    std::function<bool()> networkAlive;
    // A request that receives nothing for this long fails its attempt.
    long stallSeconds = 60;
    // CA bundle that verifies https servers; empty: the system's store.
    std::string caFile;
    // Called on a transfer thread when its segment has ended (complete or
    // given up), so an owner polling IsComplete can look at once.
    std::function<void()> segmentEnded;
};

// The state a segment's response is checked against before any byte of it
// is written. Used only on the segment's own thread.
struct ResponseCheck {
    enum class Verdict { Pending, Accepted, Refused };
    int64_t askedFrom = -1;   // first byte asked for; -1: no range asked
    long status = 0;          // of the last status line seen
    int64_t rangeFirst = -1;  // Content-Range "bytes FIRST-LAST/TOTAL"
    int64_t rangeTotal = -1;  // -1 when absent or "*"
    int64_t contentLength = -1;
    Verdict verdict = Verdict::Pending;
};

// One contiguous byte range of the file.
struct SegmentInfo {
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t done = 0;          // bytes written from start on; under the engine's mutex
    CURL* handle = nullptr;     // owned by the segment's thread while it runs
    std::thread thread;
    int32_t retries = 0;
    std::atomic<bool> running{false};  // the thread has not left DownloadFun yet
    char token[32] = {};        // this segment's ThreadToken
    ResponseCheck check;
};

// The connection count and split for a file (pure; see Start).
struct SegmentPlan {
    uint32_t start;
    uint32_t length;
    bool operator==(const SegmentPlan&) const = default;
};
std::vector<SegmentPlan> PlanSegments(uint32_t fileSize, int32_t requested, bool ranges);

// The wait before a retry, 1000 * 2^doublings ms, capped at 60 s: a
// segment passes its retries so far (1 s, 2 s, 4 s, ...), a probe its new
// retry count (2 s, 4 s, ...).
uint32_t RetryDelayMs(int32_t doublings);
constexpr uint32_t kMaxRetryDelayMs = 60000;

// Largest remote file accepted: data and trailer must fit 32-bit counts.
constexpr uint64_t kMaxRemoteFileSize = 0xFFFFFFFFull - 64;
// Most connections one engine opens, and most records a trailer may hold.
constexpr int32_t kMaxSegments = 16;
// Most redirects one request follows.
constexpr int kMaxRedirects = 10;

class CurlDownloader {
public:
    // Idle: no segments, no file. Worker thread.
    CurlDownloader();
    // Pauses, waits for every transfer thread, closes the temporary file.
    ~CurlDownloader();
    CurlDownloader(const CurlDownloader&) = delete;
    CurlDownloader& operator=(const CurlDownloader&) = delete;

    // Worker thread, before Start.
    void SetHooks(CurlDownloadHooks hooks);

    // Probes the server (or resumes from "<targetPath>.dltmp") and starts
    // the transfer threads. threadCount null: CurlDownloadConfig.threadCount.
    // False when the download could not be started (reasons are logged).
    // InitCurlShare must have succeeded. Worker thread.
    bool Start(const std::string& url, const std::string& targetPath, const int32_t* threadCount);

    // True only when every segment is complete (and there is one). stopped:
    // complete, or no transfer thread is alive any more. Any thread.
    bool IsComplete(bool* stopped);

    // Waits for every transfer thread, then FinalProc: true when the
    // finished file stands at the target. Worker thread.
    bool WaitAndFinish();

    // Stops every transfer (a silent one within about a second) and waits
    // for the threads of unfinished segments. False when a wait failed.
    // Worker thread; also from destruction.
    bool Pause();

    // Asks every probe, wait and transfer to stop (a silent transfer within
    // about a second) without waiting for anything. Any thread: this is how
    // the owner of the worker thread ends a download promptly; the worker
    // then calls Pause, or destroys the engine. The next Start clears it.
    void RequestPause() { paused = true; }

    // Progress, read without the lock by the job after each poll.
    std::atomic<uint32_t> FileSize{0};
    std::atomic<uint32_t> downloadedSize{0};

    // --- probing (DownloadProbe.cpp); worker thread unless said otherwise ---
    bool DownloadInit();
    bool CheckFileLength();
    bool CheckIsSupportRange();
    bool CheckIsSupportRangeEx();
    // Adds the https options to `handle` when `url` is https. False when the
    // handle is none, the address empty, or a configured client certificate
    // or key file is missing. Any thread.
    bool CheckSSL(CURL* handle, const std::string& url) const;
    // Waits ms (in steps of 100 ms), less when paused. Any thread.
    void SleepEx(uint32_t ms);

    // libcurl write callback of every request of the engine.
    static size_t WriteData(char* data, size_t size, size_t count, void* userPointer);

private:
    friend class CurlDownloaderTestAccess;

    // --- CurlDownload.cpp ---
    bool InitSegmentHandle(const char* token);
    static void* DownloadFun(void* token);
    void RunSegment(int index);
    size_t WriteSegment(int index, const char* data, size_t size, size_t count);
    bool StartSegmentThread(int index);
    void JoinAllThreads();
    void ClearSegments();
    bool NetworkAlive() const;
    // The segment a ThreadToken names, with its engine; null when none.
    static SegmentInfo* SegmentOf(const void* token, CurlDownloader** engine, int* index);
    static size_t SegmentHeader(char* data, size_t size, size_t count, void* token);

    // --- DownloadProbe.cpp ---
    // Options every request of the engine carries: share, DNS cache,
    // protocols, stall limit, pause check.
    bool ApplyCommonOptions(CURL* handle);
    static int ProgressCheck(void* engine, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    // --- DownloadTmpFile.cpp ---
    bool CreateTmpFile();
    void SaveSegmentInfo(int index);
    bool ContinueDownloadByTmpFile();
    bool RestartAfterUnusableTmpFile();
    bool FinalProc();
    void CommitTmpFile();
    void CloseTmpFileLocked(const char* function);

    FILE* tmpFile = nullptr;
    std::mutex mutex;
    std::vector<std::unique_ptr<SegmentInfo>> segments;
    std::string url;
    std::string targetPath;
    // The target the caller asked for; substitute names go back to it.
    std::string requestedTarget;
    std::atomic<bool> paused{false};
    bool IsMutilDonwload = false;
    CurlDownloadHooks hooks;
    // Nesting of Start through the restart of an unusable temporary file.
    int startDepth = 0;
};

// Appends a header line to the std::string given as user pointer.
size_t AppendHeader(char* data, size_t size, size_t count, void* text);
