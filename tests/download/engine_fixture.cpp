#include "engine_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "log/FileLogger.h"
#include "log_files.h"

SegmentInfo& CurlDownloaderTestAccess::AddSegment(CurlDownloader& engine, uint32_t start, uint32_t length,
                                                  uint32_t done) {
    auto segment = std::make_unique<SegmentInfo>();
    segment->start = start;
    segment->length = length;
    segment->done = done;
    int index = static_cast<int>(engine.segments.size());
    std::snprintf(segment->token, sizeof segment->token, "%p+%d", static_cast<void*>(&engine), index);
    engine.segments.push_back(std::move(segment));
    return *engine.segments.back();
}

void CurlDownloaderTestAccess::SetState(CurlDownloader& engine, FILE* file, uint32_t fileSize, bool ranges,
                                        const std::string& target) {
    // The test's own stream: the engine writes through its descriptor and
    // never closes it.
    (void)engine.tmpFile.Release();
    if (file) engine.tmpFile = DownloadFile::Adopt(fileno(file));
    engine.FileSize = fileSize;
    engine.IsMutilDonwload = ranges;
    engine.targetPath = target;
    engine.requestedTarget = target;
}

void PrintTo(DownloadEnd why, std::ostream* out) {
    switch (why) {
        case DownloadEnd::Running: *out << "Running"; return;
        case DownloadEnd::Cancelled: *out << "Cancelled"; return;
        case DownloadEnd::NetworkLost: *out << "NetworkLost"; return;
        case DownloadEnd::Refused: *out << "Refused"; return;
        case DownloadEnd::GaveUp: *out << "GaveUp"; return;
        case DownloadEnd::LocalError: *out << "LocalError"; return;
        case DownloadEnd::Restart: *out << "Restart"; return;
    }
    *out << "DownloadEnd(" << static_cast<int>(why) << ")";
}

namespace download_test {

namespace {

void Put(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t Get(const std::string& in, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    return value;
}

}  // namespace

std::string Trailer(const std::vector<Record>& records, uint32_t fileSize) {
    std::string out;
    for (const auto& r : records) {
        Put(out, r.start);
        Put(out, r.length);
        Put(out, r.done);
    }
    Put(out, fileSize);
    return out;
}

bool ReadTrailer(const std::string& file, size_t n, std::vector<Record>* records, uint32_t* stored) {
    // Only the end is read: callers poll a file of many MiB.
    std::ifstream in(file, std::ios::binary);
    size_t trailer = 12 * n + 4;
    in.seekg(-static_cast<std::streamoff>(trailer), std::ios::end);
    std::string text(trailer, '\0');
    if (!in || !in.read(text.data(), static_cast<std::streamsize>(trailer))) return false;
    size_t at = 0;
    records->clear();
    for (size_t i = 0; i < n; ++i, at += 12)
        records->push_back({Get(text, at), Get(text, at + 4), Get(text, at + 8)});
    *stored = Get(text, at);
    return true;
}

std::vector<Record> ReadRecords(const std::string& file) {
    const std::string text = tavlin_test::ReadFileText(file);
    if (text.size() < 4) return {};
    const uint64_t dataLength = Get(text, text.size() - 4);
    if (dataLength + 4 > text.size() || (text.size() - 4 - dataLength) % 12 != 0) return {};
    std::vector<Record> records;
    for (size_t at = dataLength; at + 4 < text.size(); at += 12)
        records.push_back({Get(text, at), Get(text, at + 4), Get(text, at + 8)});
    return records;
}

uint64_t DoneBytes(const std::vector<Record>& records) {
    uint64_t done = 0;
    for (const Record& r : records) done += r.done;
    return done;
}

size_t CountContaining(const std::vector<std::string>& messages, const std::string& text) {
    size_t count = 0;
    for (const auto& m : messages)
        if (m.find(text) != std::string::npos) ++count;
    return count;
}

void EngineTest::SetUp() {
    ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    FileLogger* log = FileLogger::Instance();
    log->Open("zebUpdater");
    log->maxLevel = 0;
    log->exactLevel = -1;
    ASSERT_TRUE(InitCurlShare());
}

bool IsSegmentGet(const HttpRequest& request, uint64_t fileSize) {
    if (request.method != "GET" || request.range.empty()) return false;
    uint64_t probe = fileSize > 1024 ? 1024 : fileSize / 2;
    return request.range != "bytes=1-" + std::to_string(probe);
}

std::vector<HttpRequest> SegmentGets(const FaultServer& server, uint64_t fileSize, size_t from) {
    std::vector<HttpRequest> out;
    auto requests = server.Requests();
    for (size_t i = from; i < requests.size(); ++i)
        if (IsSegmentGet(requests[i], fileSize)) out.push_back(requests[i]);
    return out;
}

std::vector<std::string> RangesOf(const std::vector<HttpRequest>& requests) {
    std::vector<std::string> out;
    for (const auto& request : requests) out.push_back(request.range);
    return out;
}

bool CoverOnce(std::vector<std::string> ranges, uint64_t size) {
    std::vector<std::pair<uint64_t, uint64_t>> parts;
    for (const auto& range : ranges) {
        uint64_t first = 0, last = 0;
        HttpRequest request = RangeRequest(range);
        // Ask for the range of a file longer than any here, so nothing is clipped.
        if (!AskedRange(request, ~0ull, &first, &last) || range.back() == '-') return false;
        parts.emplace_back(first, last);
    }
    std::sort(parts.begin(), parts.end());
    uint64_t next = 0;
    for (const auto& [first, last] : parts) {
        if (first != next) return false;
        next = last + 1;
    }
    return next == size;
}

CurlDownloadHooks EngineTest::Hooks(long stallSeconds) {
    CurlDownloadHooks hooks;
    hooks.sleep = [this](uint32_t ms) {
        std::lock_guard<std::mutex> lock(delaysMutex_);
        delays_.push_back(ms);
    };
    hooks.networkAlive = [this] { return networkUp.load(); };
    hooks.stallSeconds = stallSeconds;
    hooks.segmentEnded = [this] { ++segmentsEnded; };
    return hooks;
}

void EngineTest::Prepare(CurlDownloader& engine, long stallSeconds) { engine.SetHooks(Hooks(stallSeconds)); }

bool EngineTest::RunToEnd(CurlDownloader& engine, int timeoutMs) {
    bool stopped = false;
    tavlin_test::WaitUntil([&] { return engine.IsComplete(&stopped) || stopped; }, timeoutMs, 10);
    if (!stopped) return false;
    return engine.WaitAndFinish();
}

std::vector<std::string> EngineTest::AllMessages() {
    FileLogger::Instance()->Drain(5000);
    std::vector<std::string> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "state", error)) {
        if (entry.path().extension() != ".log") continue;
        for (const auto& line : updater_test::SplitLines(tavlin_test::ReadFileText(entry.path()))) {
            updater_test::Record record;
            if (updater_test::ParseRecord(line, record) && record.source == "CurlDownload")
                out.push_back(record.function + "|" + record.message);
        }
    }
    return out;
}

std::vector<std::string> EngineTest::Messages(const std::string& function) {
    std::vector<std::string> out;
    for (const auto& line : AllMessages())
        if (line.compare(0, function.size() + 1, function + "|") == 0) out.push_back(line.substr(function.size() + 1));
    return out;
}

std::vector<uint32_t> EngineTest::Delays() {
    std::lock_guard<std::mutex> lock(delaysMutex_);
    return delays_;
}

}  // namespace download_test
