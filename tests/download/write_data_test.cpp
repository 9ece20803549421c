// The write callback on its own: where bytes land, what is refused, and how
// a transfer is ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"

namespace {

using download_test::EngineTest;
using Access = CurlDownloaderTestAccess;

class WriteDataTest : public EngineTest {
protected:
    // 30 bytes of data and room for a two-record trailer, all '.'.
    FILE* OpenFile() {
        path = dir / "file.dltmp";
        tavlin_test::WriteFileText(path, std::string(58, '.'));
        return std::fopen(path.c_str(), "rb+");
    }
    static void Accept(SegmentInfo& segment, long status, int64_t first, int64_t total) {
        segment.check.askedFrom = first;
        segment.check.status = status;
        segment.check.rangeFirst = first;
        segment.check.rangeLast = 29;  // the part reaches the end of the 30 bytes
        segment.check.rangeTotal = total;
    }
    std::string path;
};

// Bytes past the segment's end are never written, and they end the answer:
// a server that goes on sending (for ever, at worst) cannot hold a full
// segment's transfer open.
TEST_F(WriteDataTest, WritesOnlyUpToTheSegmentEndThenEndsTheAnswer) {
    CurlDownloader engine;
    Access::AddSegment(engine, 0, 10, 10);
    SegmentInfo& segment = Access::AddSegment(engine, 10, 5);
    Accept(segment, 206, 10, 30);

    char data[] = "ABCDEFGH";
    FILE* file = OpenFile();
    Access::SetState(engine, file, 30, true);
    EXPECT_EQ(CurlDownloader::WriteData(data, 1, 8, segment.token), 0u);
    EXPECT_EQ(segment.done, 5u);
    EXPECT_EQ(engine.downloadedSize.load(), 5u);
    // More of the same answer after the segment is full: nothing taken.
    EXPECT_EQ(CurlDownloader::WriteData(data, 1, 8, segment.token), 0u);
    EXPECT_EQ(segment.done, 5u);
    Access::SetState(engine, nullptr, 30, true);  // the test closes the file itself
    std::fclose(file);
    std::string text = tavlin_test::ReadFileText(path);
    EXPECT_EQ(text.substr(0, 20), std::string(10, '.') + "ABCDE" + ".....");
    // The write rewrote its segment's record (record 1, at FileSize + 12).
    std::vector<download_test::Record> records;
    uint32_t stored = 0;
    ASSERT_TRUE(download_test::ReadTrailer(path, 2, &records, &stored));
    EXPECT_EQ(records[1], (download_test::Record{10, 5, 5}));
}

TEST_F(WriteDataTest, AnswerThatDoesNotFitTheRequestIsNeverWritten) {
    struct Case {
        const char* name;
        int64_t askedFrom;
        long status;
        int64_t rangeFirst, rangeTotal, contentLength;
        bool written;
    };
    const Case cases[] = {
        {"206 at the asked offset", 10, 206, 10, 30, -1, true},
        {"206 without a total", 10, 206, 10, -1, -1, true},
        {"200 with the whole file", 10, 200, -1, -1, 30, false},
        {"206 at another offset", 10, 206, 0, 30, -1, false},
        {"206 of another file length", 10, 206, 10, 31, -1, false},
        {"404 page", 10, 404, -1, -1, 9, false},
        {"single connection: 200 of the file", -1, 200, -1, -1, 30, true},
        {"single connection: 200 of another length", -1, 200, -1, -1, 29, false},
        {"single connection: 500 page", -1, 500, -1, -1, 8, false},
    };
    for (const auto& c : cases) {
        CurlDownloader engine;
        FILE* file = OpenFile();
        Access::SetState(engine, file, 30, c.askedFrom >= 0);
        SegmentInfo& segment = Access::AddSegment(engine, c.askedFrom >= 0 ? 10 : 0, c.askedFrom >= 0 ? 5 : 30);
        segment.check.askedFrom = c.askedFrom;
        segment.check.status = c.status;
        segment.check.rangeFirst = c.rangeFirst;
        segment.check.rangeLast = c.rangeFirst >= 0 ? 29 : -1;
        segment.check.rangeTotal = c.rangeTotal;
        segment.check.contentLength = c.contentLength;
        char data[] = "XYZ";
        size_t accepted = CurlDownloader::WriteData(data, 1, 3, segment.token);
        EXPECT_EQ(accepted == 3, c.written) << c.name;
        EXPECT_EQ(segment.done, c.written ? 3u : 0u) << c.name;
        Access::SetState(engine, nullptr, 30, true);
        std::fclose(file);
        EXPECT_EQ(tavlin_test::ReadFileText(path).find("XYZ") != std::string::npos, c.written) << c.name;
    }
}

TEST_F(WriteDataTest, FailedSeekEndsTheTransferWithoutCountingItsBytes) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    FILE* unseekable = ::fdopen(pipeFds[1], "w");
    CurlDownloader engine;
    Access::SetState(engine, unseekable, 30, true);
    SegmentInfo& segment = Access::AddSegment(engine, 10, 5);
    Accept(segment, 206, 10, 30);
    char data[] = "ABC";
    EXPECT_NE(CurlDownloader::WriteData(data, 1, 3, segment.token), 3u);
    EXPECT_EQ(segment.done, 0u);
    EXPECT_EQ(engine.downloadedSize.load(), 0u);
    Access::SetState(engine, nullptr, 30, true);
    std::fclose(unseekable);
    ::close(pipeFds[0]);
    EXPECT_EQ(download_test::CountContaining(Messages("CurlDownloader::WriteData"), "_fseeki64 error!"), 1u);
}

TEST_F(WriteDataTest, PauseKeepsTheBytesOfTheCallbackThenAbortsTheTransfer) {
    CurlDownloader engine;
    FILE* file = OpenFile();
    Access::SetState(engine, file, 30, true);
    SegmentInfo& segment = Access::AddSegment(engine, 10, 5);
    Accept(segment, 206, 10, 30);
    engine.Pause();
    char data[] = "AB";
    EXPECT_EQ(CurlDownloader::WriteData(data, 1, 2, segment.token), 1u);
    EXPECT_EQ(segment.done, 2u);
    // One connection cannot continue where it stopped: its count goes back to 0.
    CurlDownloader single;
    Access::SetState(single, file, 30, false);
    SegmentInfo& whole = Access::AddSegment(single, 0, 30);
    whole.check.status = 200;
    single.Pause();
    EXPECT_EQ(CurlDownloader::WriteData(data, 1, 2, whole.token), 1u);
    EXPECT_EQ(whole.done, 0u);
    EXPECT_EQ(single.downloadedSize.load(), 0u);
    Access::SetState(engine, nullptr, 30, true);
    Access::SetState(single, nullptr, 30, true);
    std::fclose(file);
}

TEST_F(WriteDataTest, TokenOfAnIndexPastTheSegmentsNamesNothing) {
    CurlDownloader engine;
    FILE* file = OpenFile();
    Access::SetState(engine, file, 30, true);
    for (int i = 0; i < 5; ++i) Access::AddSegment(engine, 6 * i, 6);
    char token[32];
    std::snprintf(token, sizeof token, "%p+%d", static_cast<void*>(&engine), 7);
    char data[] = "ABC";
    EXPECT_EQ(CurlDownloader::WriteData(data, 1, 3, token), 3u);  // accepted and dropped
    EXPECT_EQ(engine.downloadedSize.load(), 0u);
    EXPECT_EQ(Access::RunThread(token), nullptr);  // a thread given it returns at once
    Access::SetState(engine, nullptr, 30, true);
    std::fclose(file);
    EXPECT_EQ(tavlin_test::ReadFileText(path), std::string(58, '.'));
}

TEST_F(WriteDataTest, IsCompleteBeforeStartReportsStoppedAndIncomplete) {
    CurlDownloader engine;
    bool stopped = false;
    EXPECT_FALSE(engine.IsComplete(&stopped));
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(engine.IsComplete(nullptr));
}

}  // namespace
