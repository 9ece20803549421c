// Resuming from a left temporary file, files that must start over and
// failures that must not cost it, an exact result whatever follows the
// data, and the substitute-name and copy paths when another holder keeps
// the file locked.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"

namespace {

using download_test::CountContaining;
using download_test::EngineTest;
using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;
using download_test::Pattern;
using download_test::Record;
using download_test::ServeFile;
using download_test::Trailer;

const char* const kContinue = "CurlDownloader::ContinueDownloadByTmpFile";
const char* const kFinalProc = "CurlDownloader::FinalProc";
const uint32_t kPart = 4194304;
const uint32_t kSize = 3 * kPart;

// The segment requests: GETs after the length and range probes, sorted.
std::vector<std::string> SegmentRanges(const FaultServer& server) {
    auto gets = server.GetRanges();
    std::vector<std::string> out;
    for (size_t i = 0; i < gets.size(); ++i)
        if (i > 0 && gets[i] != "bytes=1-1024") out.push_back(gets[i]);
    std::sort(out.begin(), out.end());
    return out;
}

// A lock held on `path` through an open file of its own, as another
// process would hold it.
class HeldLock {
public:
    explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
        locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

class TmpFileTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        data = Pattern(kSize);
    }
    // The data of the three standard segments as far as `records` say,
    // zeros elsewhere, then the trailer.
    void WriteTmp(const std::vector<Record>& records, uint32_t stored, const std::string& path = {}) {
        std::string content(kSize, '\0');
        for (const auto& r : records)
            if (r.start < kSize && r.done <= kSize - r.start) content.replace(r.start, r.done, data, r.start, r.done);
        content += Trailer(records, stored);
        ASSERT_TRUE(tavlin_test::WriteFileText(path.empty() ? Target() + ".dltmp" : path, content));
    }
    std::string data;
};

TEST_F(TmpFileTest, ResumesOnlyWhatIsMissing) {
    WriteTmp({{0, kPart, 1000}, {kPart, kPart, 0}, {2 * kPart, kPart, kPart}}, kSize);
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    EXPECT_EQ(engine.downloadedSize.load(), 1000u + kPart);
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
    EXPECT_EQ(SegmentRanges(server), (std::vector<std::string>{"bytes=1000-4194303", "bytes=4194304-8388607"}));
    EXPECT_EQ(CountContaining(Messages("CurlDownloader::Start"), "根据上次的临时文件，进行断点续传"), 1u);
    EXPECT_EQ(CountContaining(Messages(kContinue), "断点续传开始，上一次已下载百分比33.341281%"), 1u);
}

// A file of sixteen pieces resumes over no more connections than a fresh
// start opens, and they take the missing pieces in file order: while the
// first five answers hang, no other piece is asked for.
TEST_F(TmpFileTest, SixteenPiecesResumeOverFiveConnectionsInFileOrder) {
    const uint32_t piece = kSize / 16;
    std::vector<Record> records;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t done = i == 2 || i == 9 ? piece : i == 4 ? 1000 : 0;
        records.push_back({i * piece, piece, done});
    }
    WriteTmp(records, kSize);
    std::atomic<int> hanging{0};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (download_test::IsSegmentGet(r, kSize) && hanging < 5) {
            ++hanging;
            reply.stallAfter = 1000;
        }
        return reply;
    });
    auto piecesAsked = [&] {
        std::set<uint64_t> asked;
        for (const HttpRequest& r : download_test::SegmentGets(server, kSize)) {
            uint64_t first = 0, last = 0;
            if (download_test::AskedRange(r, kSize, &first, &last)) asked.insert(first / piece);
        }
        return asked;
    };
    CurlDownloader engine;
    Prepare(engine, 2);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return hanging == 5; }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(piecesAsked(), (std::set<uint64_t>{0, 1, 3, 4, 5}));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    std::set<uint64_t> missing;
    for (uint64_t i = 0; i < 16; ++i)
        if (i != 2 && i != 9) missing.insert(i);
    EXPECT_EQ(piecesAsked(), missing);
}

// The range probes of a resume fail for a while (a reset, a stall, a busy
// server, a HEAD the server does not allow): the parts still need ranges, so
// the probe is asked again, or the other probe decides, and the resume goes
// on where it stopped; a probe that keeps failing ends the run and keeps the
// file, instead of falling back to one connection and throwing it away.
TEST_F(TmpFileTest, FailingRangeProbesOnResumeKeepTheFile) {
    const std::vector<Record> records = {{0, kPart, 1000}, {kPart, kPart, 0}, {2 * kPart, kPart, kPart}};
    struct Case {
        const char* name;
        const char* probe;  // the Range of the probe that fails
        int status;         // its answer; 0: the connection is reset
        int failures;       // answers that fail
        bool completes;
    };
    const Case cases[] = {
        {"reset once", "bytes=1-1024", 0, 1, true},
        {"reset past the retry bound", "bytes=1-1024", 0, 1000, false},
        // The first probe (a HEAD) answered otherwise than 2xx tells nothing
        // about ranges: the second decides, and the parts go on.
        {"first probe busy", "bytes=0-", 503, 1000, true},
        {"first probe rate-limited once", "bytes=0-", 429, 1, true},
        {"HEAD not allowed", "bytes=0-", 405, 1000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        WriteTmp(records, kSize, target + ".dltmp");
        const std::string before = tavlin_test::ReadFileText(target + ".dltmp");
        std::atomic<int> failed{0};
        FaultServer server([&](const HttpRequest& r) {
            if (r.range == c.probe && failed < c.failures) {
                ++failed;
                if (c.status != 0) return download_test::Status(c.status);
                HttpReply reset;
                reset.reset = true;
                return reset;
            }
            return ServeFile(r, data);
        });
        CurlDownloader engine;
        Prepare(engine);
        if (!c.completes) {
            EXPECT_FALSE(engine.Start(server.Url("/f.zip"), target, nullptr));
            EXPECT_EQ(engine.EndReason(), DownloadEnd::GaveUp);
            EXPECT_TRUE(tavlin_test::ReadFileText(target + ".dltmp") == before);
            continue;
        }
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        EXPECT_EQ(SegmentRanges(server), (std::vector<std::string>{"bytes=1000-4194303", "bytes=4194304-8388607"}));
    }
    EXPECT_EQ(CountContaining(Messages(kContinue), "临时文件有问题"), 0u);
}

TEST_F(TmpFileTest, InvalidRecordRestartsOnlyItsSegment) {
    WriteTmp({{0, kPart, 1000}, {kPart, kPart, kPart + 1}, {2 * kPart, kPart, kPart}}, kSize);
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_EQ(SegmentRanges(server), (std::vector<std::string>{"bytes=1000-4194303", "bytes=4194304-8388607"}));
    EXPECT_EQ(CountContaining(Messages(kContinue), "断点续传第1块信息有误，从新下载此块数据"), 1u);
}

TEST_F(TmpFileTest, UnusableFilesStartOver) {
    // Each file claims every byte is done while its data is all zeros: any
    // use of it would leave zeros in the result.
    const std::vector<Record> allDone = {{0, kPart, kPart}, {kPart, kPart, kPart}, {2 * kPart, kPart, kPart}};
    struct Case {
        const char* name;
        std::vector<Record> records;
        uint32_t stored;
        bool ranges;
        std::string extra;  // bytes between the records and the stored length
        std::string logged;
        std::vector<std::string> segments;
    };
    const std::vector<std::string> fresh = {"bytes=0-4194303", "bytes=4194304-8388607", "bytes=8388608-12582911"};
    const Case cases[] = {
        {"stored length differs from the server's", allDone, kSize - 1, true, "", "临时文件有问题，重新开始下载", fresh},
        {"no whole record", {}, kSize, true, "12345", "临时文件有问题，重新开始下载", fresh},
        {"records that end short of the data", {{0, kPart, kPart}}, kSize, true, "", "临时文件有问题，重新开始下载",
         fresh},
        {"several records without range support", allDone, kSize, false, "", "临时文件有问题，重新开始下载", {""}},
        {"one record without range support", {{0, kSize, kSize}}, kSize, false, "",
         "单线程不支持断点续传，直接重新开始", {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        std::string content(kSize, '\0');
        content += Trailer(c.records, c.stored).insert(12 * c.records.size(), c.extra);
        ASSERT_TRUE(tavlin_test::WriteFileText(target + ".dltmp", content));
        FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data, c.ranges); });
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
        auto gets = server.GetRanges();
        std::vector<std::string> segments;
        // After the first probes, a restart probes again: keep what follows the last probe.
        size_t lastProbe = 0;
        for (size_t i = 0; i < gets.size(); ++i)
            if (gets[i] == "bytes=1-1024" || (gets[i].empty() && i + 1 < gets.size())) lastProbe = i;
        segments.assign(gets.begin() + static_cast<long>(lastProbe) + 1, gets.end());
        std::sort(segments.begin(), segments.end());
        EXPECT_EQ(segments, c.segments);
        EXPECT_GE(CountContaining(Messages(kContinue), c.logged), 1u);
    }
}

// A probe that fails on resumption says nothing against the file's
// progress, whatever its reason: the file stays byte for byte, and the
// next run that reaches the server fetches only what is missing.
TEST_F(TmpFileTest, ProbeFailureOnResumeKeepsTheFile) {
    const uint32_t missing = kPart / 10 * 3;  // the file is 90 % done
    const std::vector<Record> records = {{0, kPart, kPart}, {kPart, kPart, kPart}, {2 * kPart, kPart, kPart - missing}};
    const std::vector<uint32_t> doubling = {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000, 60000};
    struct Case {
        const char* name;
        HttpReply answer;
        bool refusing;  // nothing listens at the address
        bool online;
        DownloadEnd end;
        std::vector<uint32_t> delays;
    };
    const Case cases[] = {
        {"offline", {}, true, false, DownloadEnd::NetworkLost, {}},
        {"503 past the retry bound", download_test::Status(503), false, true, DownloadEnd::GaveUp, doubling},
        {"connection refused past the retry bound", {}, true, true, DownloadEnd::GaveUp, doubling},
        {"404", download_test::Status(404), false, true, DownloadEnd::Refused, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        WriteTmp(records, kSize, target + ".dltmp");
        const std::string before = tavlin_test::ReadFileText(target + ".dltmp");
        {
            FaultServer failing([&](const HttpRequest&) { return c.answer; });
            size_t delaysBefore = Delays().size();
            networkUp = c.online;
            CurlDownloader engine;
            Prepare(engine);
            EXPECT_FALSE(engine.Start(c.refusing ? download_test::RefusingUrl("/f.zip") : failing.Url("/f.zip"),
                                      target, nullptr));
            EXPECT_EQ(engine.EndReason(), c.end);
            auto delays = Delays();
            EXPECT_EQ(std::vector<uint32_t>(delays.begin() + static_cast<long>(delaysBefore), delays.end()), c.delays);
        }
        EXPECT_TRUE(tavlin_test::ReadFileText(target + ".dltmp") == before);

        networkUp = true;
        FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        EXPECT_EQ(SegmentRanges(server),
                  (std::vector<std::string>{"bytes=" + std::to_string(kSize - missing) + "-" + std::to_string(kSize - 1)}));
    }
    EXPECT_EQ(CountContaining(Messages(kContinue), "临时文件有问题"), 0u);
}

// The end cuts at the remote length itself, so bytes that do not belong to
// the trailer (here between its records and its stored length, which the
// record count rounds away) never reach the result.
TEST_F(TmpFileTest, StrayBytesInTheTrailerNeverReachTheResult) {
    struct Case {
        const char* name;
        std::vector<Record> records;
        std::string stray;
        std::vector<std::string> segments;
    };
    const std::vector<Record> allDone = {{0, kPart, kPart}, {kPart, kPart, kPart}, {2 * kPart, kPart, kPart}};
    const std::vector<Record> partly = {{0, kPart, 1000}, {kPart, kPart, kPart}, {2 * kPart, kPart, kPart}};
    const Case cases[] = {
        {"complete, 5 stray bytes", allDone, "12345", {}},
        {"complete, 11 stray bytes", allDone, "12345678901", {}},
        {"partly done, 7 stray bytes", partly, "1234567", {"bytes=1000-4194303"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        std::string content(kSize, '\0');
        for (const auto& r : c.records) content.replace(r.start, r.done, data, r.start, r.done);
        content += Trailer(c.records, kSize).insert(12 * c.records.size(), c.stray);
        ASSERT_TRUE(tavlin_test::WriteFileText(target + ".dltmp", content));
        FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        std::string result = tavlin_test::ReadFileText(target);
        EXPECT_EQ(result.size(), kSize);
        EXPECT_TRUE(result == data);
        EXPECT_EQ(SegmentRanges(server), c.segments);
    }
}

TEST_F(TmpFileTest, HeldFileLeadsToASubstituteNameAndTheTargetIsRestored) {
    WriteTmp({{0, kPart, 1000}, {kPart, kPart, 0}, {2 * kPart, kPart, kPart}}, kSize);
    std::string held = tavlin_test::ReadFileText(Target() + ".dltmp");
    HeldLock lock(Target() + ".dltmp");
    ASSERT_TRUE(lock.locked());
    ASSERT_TRUE(tavlin_test::WriteFileText(Target() + "~bk0", "someone else's"));  // taken: the next number
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_TRUE(tavlin_test::ReadFileText(Target() + ".dltmp") == held);  // left as it was
    EXPECT_EQ(tavlin_test::ReadFileText(Target() + "~bk0"), "someone else's");
    EXPECT_FALSE(tavlin_test::FileExists(Target() + "~bk1"));
    EXPECT_FALSE(tavlin_test::FileExists(Target() + "~bk1.dltmp"));
    EXPECT_EQ(CountContaining(Messages(kContinue), "临时文件被占用无法删除，更改下载目标文件名为" + Target() + "~bk1"),
              1u);
    EXPECT_EQ(CountContaining(Messages(kFinalProc), "现在还原为" + Target()), 1u);
}

TEST_F(TmpFileTest, HeldFinishedFileIsCopiedAndTheCopyFinished) {
    const std::string small = Pattern(600);
    std::string tmp = Target() + ".dltmp";
    std::string content = small + Trailer({{0, 600, 600}}, 600);
    ASSERT_TRUE(tavlin_test::WriteFileText(tmp, content));
    HeldLock lock(tmp);
    ASSERT_TRUE(lock.locked());
    CurlDownloader engine;
    CurlDownloaderTestAccess::AddSegment(engine, 0, 600, 600);
    CurlDownloaderTestAccess::SetState(engine, nullptr, 600, true, Target());
    ASSERT_TRUE(CurlDownloaderTestAccess::FinalProc(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == small);
    EXPECT_TRUE(tavlin_test::ReadFileText(tmp) == content);
    EXPECT_FALSE(tavlin_test::FileExists(tmp + ".bk"));
    auto messages = Messages(kFinalProc);
    EXPECT_EQ(CountContaining(messages, "临时文件被占用，拷贝之!"), 1u);
    EXPECT_EQ(CountContaining(messages, "临时文件拷贝成功!"), 1u);
}

TEST_F(TmpFileTest, FinishedFileNeverReplacesAnExistingTarget) {
    const std::string small = Pattern(600);
    std::string tmp = Target() + ".dltmp";
    ASSERT_TRUE(tavlin_test::WriteFileText(tmp, small + Trailer({{0, 600, 600}}, 600)));
    ASSERT_TRUE(tavlin_test::WriteFileText(Target(), "already here"));
    CurlDownloader engine;
    CurlDownloaderTestAccess::AddSegment(engine, 0, 600, 600);
    CurlDownloaderTestAccess::SetState(engine, nullptr, 600, true, Target());
    EXPECT_FALSE(CurlDownloaderTestAccess::FinalProc(engine));
    EXPECT_EQ(tavlin_test::ReadFileText(Target()), "already here");
    EXPECT_EQ(CountContaining(Messages(kFinalProc), "rename Fail, GetLastError:17"), 1u);  // EEXIST
}

TEST_F(TmpFileTest, TargetWithBkInItsOwnNameKeepsIt) {
    const std::string small = Pattern(600);
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, small); });
    std::string target = dir / "pack~bk7.zip";
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(target) == small);
    EXPECT_FALSE(tavlin_test::FileExists(dir / "pack"));
}

}  // namespace
