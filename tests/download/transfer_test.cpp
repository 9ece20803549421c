// Whole downloads against the scripted server: connection counts and the
// exact ranges asked for, answers that must not be written, interrupted
// and silent transfers, retry waits and messages, a lost network.
#include <gtest/gtest.h>

#include <algorithm>
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
using download_test::ServeFile;

const char* const kDownloadFun = "CurlDownloader::DownloadFun";

// The GET ranges after the length probe, the range probe's request (when
// there is one) first and the segments' requests sorted.
struct Ranges {
    std::string probe;
    std::vector<std::string> segments;
};

Ranges SplitRanges(std::vector<std::string> gets, bool rangeProbe) {
    Ranges out;
    if (gets.empty()) return out;
    gets.erase(gets.begin());  // the length probe
    if (rangeProbe && !gets.empty()) {
        out.probe = gets.front();
        gets.erase(gets.begin());
    }
    std::sort(gets.begin(), gets.end());
    out.segments = gets;
    return out;
}

class TransferTest : public EngineTest {};

TEST_F(TransferTest, ConnectionsAndRangesFollowTheFileSize) {
    struct Case {
        uint32_t size;
        bool nullCount;
        std::string probe;
        std::vector<std::string> segments;
    };
    const Case cases[] = {
        // The 1-byte file's probe asks for "1-0"; the server ignores that
        // range and sends the byte, so the file gets one connection.
        // (100 MiB in five parts is a run of tavlin-fetch against nginx.)
        {1, false, "bytes=1-0", {""}},
        {600, false, "bytes=1-300", {"bytes=0-599"}},
        {5242880, false, "bytes=1-1024", {"bytes=0-5242879"}},
        {5242881, false, "bytes=1-1024", {"bytes=0-2621439", "bytes=2621440-5242880"}},
        {3 * 4194304, true, "bytes=1-1024",
         {"bytes=0-4194303", "bytes=4194304-8388607", "bytes=8388608-12582911"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::string data = Pattern(c.size, c.size);
        FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
        std::string target = dir / ("file" + std::to_string(c.size));
        CurlDownloader engine;
        segmentsEnded = 0;
        Prepare(engine);
        int32_t five = 5;
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, c.nullCount ? nullptr : &five));
        ASSERT_TRUE(RunToEnd(engine));
        // Every segment's end is announced once, so a poller can wake for it.
        EXPECT_EQ(segmentsEnded.load(), static_cast<int>(c.segments.size()));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
        Ranges ranges = SplitRanges(server.GetRanges(), true);
        EXPECT_EQ(ranges.probe, c.probe);
        EXPECT_EQ(ranges.segments, c.segments);
    }
    EXPECT_TRUE(Delays().empty());
}

TEST_F(TransferTest, ServerWithoutRangesGetsOneConnectionWithoutRange) {
    std::string data = Pattern(3 * 4194304);
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data, false); });
    CurlDownloader engine;
    Prepare(engine);
    int32_t five = 5;
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), &five));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    // The length probe and the one transfer; no range probe.
    EXPECT_EQ(server.GetRanges(), (std::vector<std::string>{"", ""}));
}

TEST_F(TransferTest, ServerSendingMoreThanTheProbedRangeGetsOneConnection) {
    std::string data = Pattern(3 * 4194304);
    FaultServer server([&](const HttpRequest& r) {
        // Honours "0-" but answers the small probe with everything from byte 1.
        if (r.range == "bytes=1-1024") return ServeFile({0, "GET", "", "bytes=1-"}, data);
        return ServeFile(r, data);
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_EQ(server.GetRanges(), (std::vector<std::string>{"", "bytes=1-1024", ""}));
}

TEST_F(TransferTest, RangedAnswerThatDoesNotFitIsRefusedAndAskedAgain) {
    const uint32_t size = 3 * 4194304;
    std::string data = Pattern(size);
    std::string other = Pattern(size, 99);  // what a changed file would send
    struct Case {
        const char* name;
        std::function<HttpReply(const HttpRequest&)> wrong;
    };
    const Case cases[] = {
        {"200 with the whole file", [&](const HttpRequest& r) { return ServeFile(r, data, false); }},
        {"206 at another offset", [&](const HttpRequest&) { return ServeFile({0, "GET", "", "bytes=0-4194303"}, data); }},
        {"206 of another file length",
         [&](const HttpRequest& r) { return ServeFile(r, other + "tail"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string second = "bytes=4194304-8388607";
        bool wrongSent = false;
        FaultServer server([&](const HttpRequest& r) {
            if (r.range == second && !wrongSent) {
                wrongSent = true;
                return c.wrong(r);
            }
            return ServeFile(r, data);
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        auto gets = server.GetRanges();
        EXPECT_EQ(std::count(gets.begin(), gets.end(), second), 2);
    }
    EXPECT_EQ(Delays(), (std::vector<uint32_t>{1000, 1000, 1000}));
    EXPECT_EQ(CountContaining(Messages("CurlDownloader::WriteData"), "线程1的应答不符合请求"), 3u);
}

TEST_F(TransferTest, InterruptedOrSilentTransferIsRetriedFromWhereItStopped) {
    const uint32_t size = 3 * 4194304;
    std::string data = Pattern(size);
    struct Case {
        const char* name;
        bool ranges;
        bool stall;
        std::vector<std::string> firstSegmentRequests;
    };
    const Case cases[] = {
        {"reset after 1000 bytes", true, false, {"bytes=0-4194303", "bytes=1000-4194303"}},
        {"silent after 1000 bytes", true, true, {"bytes=0-4194303", "bytes=1000-4194303"}},
        // One connection cannot ask for the rest: it starts over from byte 0.
        {"reset, one connection", false, false, {"", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool cut = false;
        FaultServer server([&](const HttpRequest& r) {
            HttpReply reply = ServeFile(r, data, c.ranges);
            bool first = c.ranges ? r.range == "bytes=0-4194303" : (r.index > 0 && r.method == "GET");
            if (first && !cut) {
                cut = true;
                (c.stall ? reply.stallAfter : reply.resetAfter) = 1000;
            }
            return reply;
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine, c.stall ? 5 : 60);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        std::vector<std::string> firstSegment;
        auto gets = server.GetRanges();
        for (size_t i = 1; i < gets.size(); ++i)
            if (gets[i].rfind("bytes=0-", 0) == 0 || gets[i].rfind("bytes=1000-", 0) == 0 || !c.ranges)
                firstSegment.push_back(gets[i]);
        // A slow machine may need more than one retry; each asks the same.
        ASSERT_GE(firstSegment.size(), 2u);
        EXPECT_EQ(firstSegment[0], c.firstSegmentRequests[0]);
        for (size_t i = 1; i < firstSegment.size(); ++i) EXPECT_EQ(firstSegment[i], c.firstSegmentRequests[1]);
    }
    auto retries = Messages(kDownloadFun);
    // The single connection's retry counts from 0 again.
    EXPECT_GE(CountContaining(retries, "下载进度:0.000000%, 线程0下载数据失败"), 1u);
    EXPECT_EQ(CountContaining(retries, "线程0接收数据完毕，重试次数："), 3u);
}

TEST_F(TransferTest, FailingSegmentWaitsOneTwoFourSecondsAndCountsItsRetries) {
    std::string data = Pattern(600);
    int failures = 0;
    FaultServer server([&](const HttpRequest& r) {
        if (r.range == "bytes=0-599" && failures < 3) {
            ++failures;
            HttpReply reply;
            reply.status = 500;
            reply.body = "busy";
            return reply;
        }
        return ServeFile(r, data);
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_EQ(Delays(), (std::vector<uint32_t>{1000, 2000, 4000}));
    auto messages = Messages(kDownloadFun);
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(CountContaining(messages, "线程0下载数据失败，lastHttpCode: 500, CURLcode: 23, 尝试第" +
                                                std::to_string(n) + "次重试"),
                  1u)
            << n;
    EXPECT_EQ(CountContaining(messages, "线程0接收数据完毕，重试次数：3"), 1u);
}

TEST_F(TransferTest, LostNetworkEndsAFailingThreadAtOnce) {
    std::string data = Pattern(600);
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (r.range == "bytes=0-599") {
            networkUp = false;  // gone before this answer breaks off
            reply.resetAfter = 10;
        }
        return reply;
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    EXPECT_FALSE(RunToEnd(engine));
    bool stopped = false;
    EXPECT_FALSE(engine.IsComplete(&stopped));
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(Delays().empty());
    auto messages = Messages(kDownloadFun);
    EXPECT_EQ(CountContaining(messages, "次重试"), 0u);
    EXPECT_EQ(CountContaining(messages, "线程0接收数据失败，错误码：CURLCode="), 1u);
    EXPECT_TRUE(tavlin_test::FileExists(Target() + ".dltmp"));  // kept for a later run
    EXPECT_FALSE(tavlin_test::FileExists(Target()));
}

TEST_F(TransferTest, PauseStopsTransfersOnASilentServerAndKeepsTheFile) {
    const uint32_t size = 3 * 4194304;
    std::string data = Pattern(size);
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (r.method == "GET" && r.range.rfind("bytes=1-", 0) != 0 && !r.range.empty()) reply.stallAfter = 0;
        return reply;
    });
    auto engine = std::make_unique<CurlDownloader>();
    Prepare(*engine);  // a 60 s stall limit: only the pause can end these
    ASSERT_TRUE(engine->Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return server.GetRanges().size() == 5; }, 60000));

    // Right after creation: full length, zero data, three fresh records, the length last.
    std::string text = tavlin_test::ReadFileText(Target() + ".dltmp");
    ASSERT_EQ(text.size(), size + 40u);
    EXPECT_TRUE(text.substr(0, size) == std::string(size, '\0'));
    EXPECT_EQ(text.substr(size), download_test::Trailer({{0, 4194304, 0}, {4194304, 4194304, 0},
                                                         {8388608, 4194304, 0}}, size));

    // Pause and destruction must end even though the server never answers.
    std::atomic<bool> paused{false};
    std::thread pauser([&] {
        engine->Pause();
        engine.reset();
        paused = true;
    });
    bool ended = tavlin_test::WaitUntil([&] { return paused.load(); }, 20000);
    if (!ended) std::abort();  // a hung pause would otherwise hang the test for ever
    pauser.join();
    EXPECT_EQ(CountContaining(Messages(kDownloadFun), "接收数据失败，错误码：CURLCode=42"), 3u);
    EXPECT_TRUE(tavlin_test::FileExists(Target() + ".dltmp"));
}

TEST_F(TransferTest, TrailerFollowsEveryWrite) {
    const uint32_t size = 3 * 4194304;
    std::string data = Pattern(size);
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (r.range == "bytes=4194304-8388607") reply.stallAfter = 1000;
        return reply;
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return engine.downloadedSize == 2 * 4194304 + 1000; }, 60000));

    std::vector<download_test::Record> records;
    uint32_t stored = 0;
    ASSERT_TRUE(download_test::ReadTrailer(Target() + ".dltmp", 3, &records, &stored));
    EXPECT_EQ(stored, size);
    EXPECT_EQ(records, (std::vector<download_test::Record>{
                           {0, 4194304, 4194304}, {4194304, 4194304, 1000}, {8388608, 4194304, 4194304}}));
    std::string text = tavlin_test::ReadFileText(Target() + ".dltmp");
    EXPECT_TRUE(text.compare(0, 4194304 + 1000, data, 0, 4194304 + 1000) == 0);
    EXPECT_EQ(text.find_first_not_of('\0', 4194304 + 1000), 8388608u);
    EXPECT_TRUE(text.compare(8388608, 4194304, data, 8388608, 4194304) == 0);
    engine.Pause();
}

}  // namespace
