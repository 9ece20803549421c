// CurlDownloader: one file fetched over HTTP(S) by up to five connections,
// each fetching byte ranges (pieces) in file order and writing them straight
// into a pre-sized "<target>.dltmp" whose trailer records every piece's
// progress, so that a killed process resumes where it stopped.
//
// Files:
//   CurlDownload.cpp     start, transfer threads, write callback, pause, finish
//   DownloadProbe.cpp    server probing, retry waits, TLS options
//   DownloadTmpFile.cpp  the ".dltmp" file: creation, records, resume, final rename
//   DownloadTokens.cpp   the texts handed to threads and callbacks
//   DownloadOutcome.cpp  what a request's outcome means: retry or refuse
//   DownloadVersion.cpp  the remote file's validator and its side file
//   DownloadPrefix.cpp   the file's contiguous prefix handed on as it grows
//   CurlShare.cpp        libcurl start-up and the shared DNS cache
#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/CurlShare.h"
#include "download/DownloadFile.h"
#include "download/DownloadOutcome.h"
#include "download/DownloadVersion.h"

// The engine's fixed settings.
struct CurlDownloadSettings {
    int32_t threadCount = 5;     // connections when Start is given no count
    int32_t timeout = 6000;      // seconds: connect timeout, and the probes' overall timeout
    // Attempts in a row that delivered nothing before a segment or a probe
    // gives up; an attempt that delivered data starts the count again.
    int32_t unproductiveLimit = 10;
    // Ranged answers that cannot be used (a 200, a 206 elsewhere) before
    // the download goes on over one plain connection.
    int32_t unusableRangeLimit = 3;
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
    long stallSeconds = 30;
    // CA bundle that verifies https servers; empty: the system's store.
    std::string caFile;
    // Called on a transfer thread when its segment has ended (complete or
    // given up), so an owner polling IsComplete can look at once.
    std::function<void()> segmentEnded;
    // Given the file's contiguous prefix in order as it arrives, read back
    // from the temporary file on a thread of the engine's; an offset of 0
    // after other bytes means the file starts over. Lets the owner digest
    // the file while it downloads. `data` stays as it is until the next
    // call has returned, so the owner may go on reading it meanwhile (on
    // another thread), or until prefixEnd has returned.
    std::function<void(uint64_t offset, const char* data, size_t size)> prefixData;
    // Called on the same thread when that thread stops handing on data:
    // the owner must let go of the last data it was given.
    std::function<void()> prefixEnd;
};

// Why a download stopped short of the whole file.
enum class DownloadEnd {
    Running,     // still running, or complete
    Cancelled,   // paused or cancelled by the owner
    NetworkLost, // the machine lost its network: worth resuming once it is back
    Refused,     // asking again cannot help: address, file, certificate, scheme
    GaveUp,      // the server kept failing past the retry bounds
    LocalError,  // the temporary file could not be made or written
    Restart,     // another version of the file, or unusable ranges: see Restart
};

// One contiguous byte range of the file (a piece), one record of the
// temporary file. A connection fetches pieces one after another.
struct SegmentInfo {
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t done = 0;          // bytes written from start on; under the engine's mutex
    bool claimed = false;       // a connection has taken it; under the engine's mutex
    CURL* handle = nullptr;     // owned by the connection's thread while it fetches this piece
    std::thread thread;         // the connection that started on this piece
    int32_t retries = 0;
    int32_t unproductive = 0;   // attempts in a row that delivered nothing
    bool exhausted = false;     // its connection ran out of attempts on it; that thread only
    std::atomic<bool> running{false};  // `thread` has not left DownloadFun yet
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
// The pieces the connections of `connections` (from PlanSegments) take in
// file order, each connection the lowest piece nobody took when it finishes
// one, so that the file's contiguous prefix (which the owner digests) grows
// while the file arrives instead of at its end. A file large enough for
// kMaxSegments pieces of kMinPieceBytes is cut into kMaxSegments equal
// pieces; a smaller one keeps one piece per connection.
std::vector<SegmentPlan> PlanPieces(uint32_t fileSize, const std::vector<SegmentPlan>& connections);
constexpr uint32_t kMinPieceBytes = 4u << 20;

// The wait before a retry, 1000 * 2^doublings ms, capped at 60 s (also the
// cap of a Retry-After): a segment passes its attempts in a row that
// delivered nothing, less one (1 s, 2 s, 4 s, ...), a probe its new retry
// count (2 s, 4 s, ...).
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
    // finished file stands at the target. Worker thread. `accept`, when
    // given, is asked about a complete file after the prefix reader's last
    // data and before the file takes the target's name; a file it refuses
    // is deleted with its version record and never stands at the target.
    bool WaitAndFinish(const std::function<bool()>& accept = {});

    // Stops every transfer (a silent one within about a second) and waits
    // for the connections still fetching. False when a wait failed.
    // Worker thread; also from destruction.
    bool Pause();

    // Asks every probe, wait and transfer to stop (a silent transfer within
    // about a second) without waiting for anything. Any thread. The next
    // outermost Start clears it.
    void RequestPause() {
        paused = true;
        WakePrefix();
    }
    // The same, for good: no later Start clears it. This is how the owner
    // of the worker thread (or a signal handler: it only stores flags) ends
    // a download promptly; the worker then calls Pause, or destroys the
    // engine.
    void Cancel() {
        cancelled = true;
        paused = true;
    }

    // Why the download stopped short of the file. Running while it runs or
    // once it is complete. Any thread.
    DownloadEnd EndReason() const {
        DownloadEnd why = end.load();
        return why == DownloadEnd::Running && paused ? DownloadEnd::Cancelled : why;
    }

    // After EndReason() == Restart: waits for the threads and starts again,
    // from the first byte when the file changed (once per engine; a second
    // change ends Refused), over one plain connection when ranged answers
    // could not be used. False when nothing was restarted or the start
    // failed. Worker thread.
    bool Restart();

    // Progress, read without the lock by the job after each poll.
    std::atomic<uint32_t> FileSize{0};
    std::atomic<uint32_t> downloadedSize{0};

    // --- probing (DownloadProbe.cpp); worker thread unless said otherwise ---
    bool DownloadInit();
    bool CheckFileLength();
    bool CheckIsSupportRange();
    bool CheckIsSupportRangeEx();
    // The range probes kept failing: one connection for a fresh download, a
    // failure that keeps the file for a resumed one.
    bool RangeProbesExhausted(const char* function);
    // Adds the https options to `handle` when `url` is https. False when the
    // handle is none, the address empty, or a configured client certificate
    // or key file is missing. Any thread.
    bool CheckSSL(CURL* handle, const std::string& url) const;
    // Waits ms (in steps of 100 ms), less when paused. Any thread.
    void SleepEx(uint32_t ms);
    // Whether a pause, a cancel or a stop of the whole download was asked.
    bool Stopping() const { return paused || halted; }

    // libcurl write callback of every request of the engine.
    static size_t WriteData(char* data, size_t size, size_t count, void* userPointer);

private:
    friend class CurlDownloaderTestAccess;

    // --- CurlDownload.cpp ---
    bool InitSegmentHandle(const char* token);
    static void* DownloadFun(void* token);
    // A connection: fetches the piece it was started on, then the lowest
    // piece nobody took, until none is left or the download stops.
    void RunSegment(int index);
    // Fetches one piece over the connection's handle; true when complete.
    bool FetchPiece(int index, CURLcode* result);
    // Takes the lowest piece nobody took; -1 when none is left, and then
    // `leaving` (the asking connection) no longer counts as running.
    int ClaimPiece(SegmentInfo* leaving = nullptr);
    // Hands the connection's handle (and its open connection) on to piece
    // `to`. False when the handle could not be set up for it.
    bool MovePiece(int from, int to);
    // Starts connections on the lowest unclaimed unfinished pieces, at most
    // `count` of them. False when a thread could not be started.
    bool StartConnections(int32_t count);
    // What a failed or refused attempt of segment `index` leads to: the
    // delay before the next one, or false when the segment ends.
    bool NextAttempt(int index, CURLcode result, bool delivered, uint32_t* delayMs);
    // Records why the download stops (the first reason wins, except that a
    // restart or a refusal overrides a lesser one) and, with `all`, stops
    // every transfer.
    void Stop(DownloadEnd why, bool all);
    size_t WriteSegment(int index, const char* data, size_t size, size_t count);
    // A single connection's attempt failed: its next one writes the file
    // from the first byte again. Under `mutex`.
    void StartOverLocked(SegmentInfo& segment);
    bool StartSegmentThread(int index);
    void JoinAllThreads();
    void ClearSegments();
    bool NetworkAlive() const;
    // The segment a ThreadToken names, with its engine; null when none.
    static SegmentInfo* SegmentOf(const void* token, CurlDownloader** engine, int* index);
    static size_t SegmentHeader(char* data, size_t size, size_t count, void* token);

    // --- DownloadProbe.cpp ---
    // Options every request of the engine carries: share, DNS cache,
    // protocols, stall and connect limits, pause check.
    bool ApplyCommonOptions(CURL* handle);
    // A connection (its TLS handshake included) gets no longer than a
    // silent transfer: an endpoint that accepts and never answers must not
    // hold an attempt for the configured hours.
    long ConnectTimeoutSeconds() const {
        return std::min<long>(CurlDownloadConfig.timeout, hooks.stallSeconds);
    }
    static int ProgressCheck(void* engine, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    // --- DownloadTmpFile.cpp ---
    bool CreateTmpFile();
    // Every transfer thread and the prefix reader are joined before the
    // file is closed: none of them may write to or read from a closed (or
    // reused) descriptor.
    void CloseTmpFile(const char* function);
    // Removes the temporary file and its version file unless another
    // holder has it. True when they are gone.
    bool DiscardTmpFile();
    void SaveSegmentInfo(int index);
    bool ContinueDownloadByTmpFile();
    bool RestartAfterUnusableTmpFile();
    bool FinalProc();
    // A complete file that its owner refused: it goes, record and all.
    void DiscardFinished();
    void CommitTmpFile();
    void CloseTmpFileLocked(const char* function);

    // --- DownloadPrefix.cpp ---
    void StartPrefixReader();
    void PrefixReader(DownloadFile file);
    void StopPrefixReader();
    void WakePrefix();
    // Bytes from the file's start on that are written, without a gap.
    uint64_t ContiguousBytesLocked() const;

    DownloadFile tmpFile;
    std::mutex mutex;
    // Held around the file writes of the transfer threads (data, then record).
    std::mutex writeMutex;
    std::vector<std::unique_ptr<SegmentInfo>> segments;
    std::string url;
    std::string targetPath;
    // The target the caller asked for; substitute names go back to it.
    std::string requestedTarget;
    std::atomic<bool> paused{false};
    std::atomic<bool> cancelled{false};
    // Set with a reason in `end` when the whole download stops.
    std::atomic<bool> halted{false};
    std::atomic<DownloadEnd> end{DownloadEnd::Running};
    bool IsMutilDonwload = false;
    CurlDownloadHooks hooks;
    // Nesting of Start through the restart of an unusable temporary file.
    int startDepth = 0;
    int32_t requestedCount = 0;
    // The address the caller gave; `url` becomes its redirect target.
    std::string requestedUrl;

    // The version being fetched (from the probe), and what every ranged
    // request sends as If-Range.
    FileVersion version;
    curl_slist* ifRangeHeader = nullptr;
    // Restart's reasons and what it has used up.
    std::atomic<bool> fileChanged{false};
    std::atomic<int32_t> unusableRanges{0};
    bool changeRestarted = false;
    bool singleConnection = false;  // ranges proved unusable in this engine
    bool resuming = false;          // probing for a temporary file's resume

    std::thread prefixThread;
    std::condition_variable prefixCv;  // with `mutex`
    bool prefixStop = false;           // under `mutex`
    uint32_t startsOver = 0;           // under `mutex`: see StartOverLocked
};

// Appends a header line to the std::string given as user pointer.
size_t AppendHeader(char* data, size_t size, size_t count, void* text);
