// What the download engine's tests share: a private folder with its own
// log, hooks that record retry waits instead of sleeping, reading the log
// and the temporary file back, and a door into the engine's state.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "download/CurlDownload.h"
#include "fault_server.h"
#include "temp_dir.h"

// Readable names in failure messages.
void PrintTo(DownloadEnd why, std::ostream* out);

// Reaches the engine's private state, for the tests that set it up directly.
class CurlDownloaderTestAccess {
public:
    static SegmentInfo& AddSegment(CurlDownloader& engine, uint32_t start, uint32_t length, uint32_t done = 0);
    static SegmentInfo& Segment(CurlDownloader& engine, int index) { return *engine.segments[index]; }
    static void SetState(CurlDownloader& engine, FILE* file, uint32_t fileSize, bool ranges,
                         const std::string& target = {});
    static const std::string& Url(const CurlDownloader& engine) { return engine.url; }
    static bool Ranges(const CurlDownloader& engine) { return engine.IsMutilDonwload; }
    static bool FinalProc(CurlDownloader& engine) { return engine.FinalProc(); }
    static void* RunThread(void* token) { return CurlDownloader::DownloadFun(token); }
};

namespace download_test {

// The little-endian trailer of a temporary file.
struct Record {
    uint32_t start, length, done;
    bool operator==(const Record&) const = default;
};
std::string Trailer(const std::vector<Record>& records, uint32_t fileSize);
// The records of a temporary file, as many as its stored data length leaves
// room for: the data, then 12 bytes (start, length, done, little-endian) per
// segment, then the data length. Empty when the file is missing or its
// trailer does not add up.
std::vector<Record> ReadRecords(const std::string& file);
uint64_t DoneBytes(const std::vector<Record>& records);
// Records and stored length read from the end of `file` (records: n of them).
bool ReadTrailer(const std::string& file, size_t n, std::vector<Record>* records, uint32_t* stored);

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;

    // The recording hooks (and a stall limit), to add to before SetHooks.
    CurlDownloadHooks Hooks(long stallSeconds = 60);
    // Installs Hooks(stallSeconds) on `engine`.
    void Prepare(CurlDownloader& engine, long stallSeconds = 60);
    // Waits for the engine to come to rest, then WaitAndFinish. True when
    // the download completed and the file stands at its target.
    bool RunToEnd(CurlDownloader& engine, int timeoutMs = 180000);

    // Messages the engine logged from `function` ("CurlDownloader::Start").
    std::vector<std::string> Messages(const std::string& function);
    // Every message of the log, with its function: "function|message".
    std::vector<std::string> AllMessages();
    std::vector<uint32_t> Delays();

    std::string Target() const { return dir / "update.zip"; }

    tavlin_test::TempDir dir{"tavlin-dl-"};
    std::atomic<bool> networkUp{true};
    std::atomic<int> segmentsEnded{0};  // segmentEnded calls since Prepare

private:
    std::mutex delaysMutex_;
    std::vector<uint32_t> delays_;
};

// Count of messages containing `text`.
size_t CountContaining(const std::vector<std::string>& messages, const std::string& text);

// A segment transfer of a file of `fileSize` bytes: a ranged GET other than
// the range probe ("bytes=1-1024", or "bytes=1-<half>" for small files).
bool IsSegmentGet(const HttpRequest& request, uint64_t fileSize);
// The segment transfers among the server's requests from index `from` on.
std::vector<HttpRequest> SegmentGets(const FaultServer& server, uint64_t fileSize, size_t from = 0);
// True when the ranges ("bytes=A-B"), taken in any order, cover bytes 0 to
// size - 1 each exactly once.
bool CoverOnce(std::vector<std::string> ranges, uint64_t size);
// The ranges of `requests`.
std::vector<std::string> RangesOf(const std::vector<HttpRequest>& requests);

}  // namespace download_test
