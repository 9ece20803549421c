// Whole downloads against the scripted server: connection counts and the
// exact ranges asked for, answers that must not be written, interrupted
// and silent transfers, which answers are retried and after what wait,
// which end the download at once, a flaky link, a lost network.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
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

// A file server whose every part transfer is reset after `cut` bytes.
// `extra`: a header line every answer carries.
FaultServer::Script FlakyLink(const std::string& data, long cut, const std::string& extra = "") {
    return [&data, cut, extra](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (download_test::IsSegmentGet(r, data.size())) reply.resetAfter = cut;
        if (!extra.empty()) reply.headers.push_back(extra);
        return reply;
    };
}

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
        if (r.range == "bytes=1-1024") return ServeFile(download_test::RangeRequest("bytes=1-"), data);
        return ServeFile(r, data);
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_EQ(server.GetRanges(), (std::vector<std::string>{"", "bytes=1-1024", ""}));
}

// The range unit may be written in any case, after any blanks: such parts
// are used like any others (the probe and the segments read the header
// alike), not refused until the download falls back to one connection
// that a kill sends back to the first byte.
TEST_F(TransferTest, ContentRangeInAnotherSpellingIsUsed) {
    const uint32_t size = 3 * 4194304;
    std::string data = Pattern(size);
    const char* const spellings[] = {"Content-Range: BYTES ", "content-range:\t bytes ", "Content-Range:Bytes  "};
    for (const char* spelling : spellings) {
        SCOPED_TRACE(spelling);
        FaultServer server([&](const HttpRequest& r) {
            HttpReply reply = ServeFile(r, data);
            for (std::string& line : reply.headers)
                if (line.rfind("Content-Range: bytes ", 0) == 0) line = spelling + line.substr(21);
            return reply;
        });
        std::string target = dir / ("t" + std::to_string(&spelling - spellings));
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        Ranges ranges = SplitRanges(server.GetRanges(), true);
        EXPECT_EQ(ranges.segments,
                  (std::vector<std::string>{"bytes=0-4194303", "bytes=4194304-8388607", "bytes=8388608-12582911"}));
    }
    EXPECT_TRUE(Delays().empty());
}

TEST_F(TransferTest, RangedAnswerThatDoesNotFitIsRefusedAndAskedAgain) {
    const uint32_t size = 3 * 4194304;
    std::string data = Pattern(size);
    struct Case {
        const char* name;
        std::function<HttpReply(const HttpRequest&)> wrong;
    };
    const Case cases[] = {
        {"200 with the whole file", [&](const HttpRequest& r) { return ServeFile(r, data, false); }},
        {"206 at another offset",
         [&](const HttpRequest&) { return ServeFile(download_test::RangeRequest("bytes=0-4194303"), data); }},
        // The bytes of the first part, under its Content-Range and then one
        // naming the part asked for.
        {"206 with two Content-Ranges",
         [&](const HttpRequest&) {
             HttpReply reply = ServeFile(download_test::RangeRequest("bytes=0-4194303"), data);
             reply.headers.push_back("Content-Range: bytes 4194304-8388607/" + std::to_string(size));
             return reply;
         }},
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

// Answers a segment's request in turn from `answers`, then serves the file.
using Answer = std::function<HttpReply(const HttpRequest&, const std::string& file)>;

Answer Fixed(HttpReply reply) {
    return [reply](const HttpRequest&, const std::string&) { return reply; };
}
// The asked part, broken off after `bytes` by a reset, or by a clean close
// (a short body).
Answer CutAfter(long bytes, bool reset = true) {
    return [bytes, reset](const HttpRequest& r, const std::string& file) {
        HttpReply reply = ServeFile(r, file);
        (reset ? reply.resetAfter : reply.closeAfter) = bytes;
        return reply;
    };
}

FaultServer::Script InTurn(const std::string& file, std::vector<Answer> answers) {
    auto next = std::make_shared<size_t>(0);
    return [&file, answers, next](const HttpRequest& r) {
        if (!download_test::IsSegmentGet(r, file.size()) || *next >= answers.size()) return ServeFile(r, file);
        return answers[(*next)++](r, file);
    };
}

// Answers worth asking again: one wait, then the segment goes on where it
// stopped. An attempt that delivered data is followed at once.
TEST_F(TransferTest, RetriedAnswersToASegment) {
    const std::string data = Pattern(600);
    HttpReply reset;
    reset.reset = true;
    struct Case {
        const char* name;
        Answer answer;
        std::vector<uint32_t> delays;
        std::string retry;  // the second request's range
    };
    const Case cases[] = {
        {"500", Fixed(download_test::Status(500)), {1000}, "bytes=0-599"},
        {"502", Fixed(download_test::Status(502)), {1000}, "bytes=0-599"},
        {"503", Fixed(download_test::Status(503)), {1000}, "bytes=0-599"},
        {"408", Fixed(download_test::Status(408)), {1000}, "bytes=0-599"},
        {"429", Fixed(download_test::Status(429)), {1000}, "bytes=0-599"},
        {"429 with Retry-After: 7", Fixed(download_test::RetryAfter(429, "7")), {7000}, "bytes=0-599"},
        {"503 with Retry-After: 3600", Fixed(download_test::RetryAfter(503, "3600")), {60000}, "bytes=0-599"},
        {"connection reset at once", Fixed(reset), {1000}, "bytes=0-599"},
        {"empty short body", CutAfter(0, false), {1000}, "bytes=0-599"},
        {"short body of 100 bytes", CutAfter(100, false), {}, "bytes=100-599"},
        {"reset after 100 bytes", CutAfter(100), {}, "bytes=100-599"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(InTurn(data, {c.answer}));
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        size_t before = Delays().size();
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        auto delays = Delays();
        EXPECT_EQ(std::vector<uint32_t>(delays.begin() + static_cast<long>(before), delays.end()), c.delays);
        EXPECT_EQ(download_test::RangesOf(download_test::SegmentGets(server, data.size())),
                  (std::vector<std::string>{"bytes=0-599", c.retry}));
    }
}

// The doubling (1 s, 2 s, 4 s ...) counts only the attempts in a row that
// brought nothing; one that delivered data starts it again.
TEST_F(TransferTest, BackoffDoublesOnlyOverAttemptsThatDeliveredNothing) {
    const std::string data = Pattern(600);
    const Answer fail = Fixed(download_test::Status(500));
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        std::vector<uint32_t> delays;
    };
    const Case cases[] = {
        {"three failures", {fail, fail, fail}, {1000, 2000, 4000}},
        {"failures around a productive attempt", {fail, fail, CutAfter(100), fail, fail}, {1000, 2000, 1000, 2000}},
        {"productive attempts only", {CutAfter(100), CutAfter(100), CutAfter(100)}, {}},
        {"Retry-After, then data, then a failure",
         {Fixed(download_test::RetryAfter(503, "7")), CutAfter(100), fail},
         {7000, 1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(InTurn(data, c.answers));
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        size_t before = Delays().size();
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        auto delays = Delays();
        EXPECT_EQ(std::vector<uint32_t>(delays.begin() + static_cast<long>(before), delays.end()), c.delays);
        EXPECT_EQ(download_test::SegmentGets(server, data.size()).size(), c.answers.size() + 1);
    }
    // Every retry is counted and told, whatever its wait.
    auto messages = Messages(kDownloadFun);
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(CountContaining(messages, "线程0下载数据失败，lastHttpCode: 500, CURLcode: 0, 尝试第" +
                                                std::to_string(n) + "次重试"),
                  2u)
            << n;
    EXPECT_EQ(CountContaining(messages, "线程0接收数据完毕，重试次数：3"), 3u);
    EXPECT_EQ(CountContaining(messages, "线程0接收数据完毕，重试次数：5"), 1u);
}

// Ten barren retries in a row, with doubling waits capped at 60 s, and the
// segment gives up; what it fetched before stays in the temporary file.
TEST_F(TransferTest, SegmentThatKeepsFailingGivesUp) {
    const std::string data = Pattern(600);
    const std::vector<uint32_t> doubling = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000};
    ASSERT_EQ(doubling.size(), static_cast<size_t>(CurlDownloadConfig.unproductiveLimit));
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        uint32_t kept;
    };
    const Answer fail = Fixed(download_test::Status(503));
    const Case cases[] = {
        {"503 from the start", std::vector<Answer>(40, fail), 0},
        {"503 after 100 bytes", [&] {
             std::vector<Answer> answers(40, fail);
             answers[0] = CutAfter(100);
             return answers;
         }(), 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(InTurn(data, c.answers));
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        size_t before = Delays().size();
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        EXPECT_FALSE(RunToEnd(engine));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::GaveUp);
        auto delays = Delays();
        EXPECT_EQ(std::vector<uint32_t>(delays.begin() + static_cast<long>(before), delays.end()), doubling);
        std::vector<download_test::Record> records;
        uint32_t stored = 0;
        ASSERT_TRUE(download_test::ReadTrailer(target + ".dltmp", 1, &records, &stored));
        EXPECT_EQ(records, (std::vector<download_test::Record>{{0, 600, c.kept}}));
        EXPECT_FALSE(tavlin_test::FileExists(target));
    }
    EXPECT_EQ(CountContaining(Messages(kDownloadFun), "线程0重试下载失败"), 2u);
}

// A server that allows fewer connections than the engine opens answers the
// others 503: the connection that keeps getting it gives up its part, and
// a connection that works takes the part over once its own is done. The
// download completes instead of being given up while data flows.
TEST_F(TransferTest, ConnectionThatKeepsFailingLeavesItsPartToTheOthers) {
    const uint32_t size = 3 * 4194304;
    const std::string data = Pattern(size, 34);
    std::atomic<int> refused{0};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (!download_test::IsSegmentGet(r, size)) return reply;
        uint64_t first = 0, last = 0;
        download_test::AskedRange(r, size, &first, &last);
        // The second part is refused past its connection's attempts.
        if (first == 4194304 && refused <= CurlDownloadConfig.unproductiveLimit) {
            ++refused;
            return download_test::Status(503);
        }
        // The others' first answers go silent for a while: they are still
        // at work when the refused connection gives up.
        if (first % 4194304 == 0) reply.stallAfter = 1000;
        return reply;
    });
    CurlDownloader engine;
    Prepare(engine, 2);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine)) << testing::PrintToString(engine.EndReason());
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_EQ(refused.load(), CurlDownloadConfig.unproductiveLimit + 1);
    EXPECT_EQ(CountContaining(Messages(kDownloadFun), "线程1重试下载失败"), 1u);
}

// A file withdrawn (or an address gone wrong) half way: the first answer
// that cannot change stops every transfer, without a wait, and keeps what
// was fetched. The other segments stall, so only that stop can end them.
TEST_F(TransferTest, PermanentAnswersToASegmentStopTheDownloadAtOnce) {
    const uint32_t size = 3 * 4194304;
    const std::string data = Pattern(size);
    const std::string first = "bytes=4194304-8388607", again = "bytes=4195304-8388607";
    struct Case {
        const char* name;
        std::function<HttpReply(const HttpRequest&)> answer;
        size_t asked;  // requests of the second segment
    };
    auto status = [](int code) { return [code](const HttpRequest&) { return download_test::Status(code); }; };
    const Case cases[] = {
        {"400", status(400), 2},
        {"401", status(401), 2},
        {"403", status(403), 2},
        {"404", status(404), 2},
        {"410", status(410), 2},
        {"451", status(451), 2},
        {"redirect to ftp://", [](const HttpRequest&) { return download_test::Redirect(302, "ftp://127.0.0.1/f"); },
         2},
        {"redirect to file://",
         [](const HttpRequest&) { return download_test::Redirect(302, "file:///etc/passwd"); }, 2},
        // The first request, then ten redirects followed and one too many.
        {"redirect loop", [](const HttpRequest& r) { return download_test::RedirectLoop(r); }, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server([&](const HttpRequest& r) {
            HttpReply reply = ServeFile(r, data);
            if (r.range == first) {
                reply.resetAfter = 1000;
            } else if (r.range == again) {
                reply = c.answer(r);
            } else if (download_test::IsSegmentGet(r, size)) {
                reply.stallAfter = 0;
            }
            return reply;
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine);  // stalls end only after 60 s
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        bool stopped = false;
        bool ended = tavlin_test::WaitUntil([&] { return !engine.IsComplete(&stopped) && stopped; }, 20000);
        EXPECT_TRUE(ended);
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_FALSE(engine.WaitAndFinish());
        auto ranges = download_test::RangesOf(download_test::SegmentGets(server, size));
        EXPECT_EQ(static_cast<size_t>(std::count(ranges.begin(), ranges.end(), first) +
                                      std::count(ranges.begin(), ranges.end(), again)),
                  c.asked);
        std::vector<download_test::Record> records;
        uint32_t stored = 0;
        ASSERT_TRUE(download_test::ReadTrailer(target + ".dltmp", 3, &records, &stored));
        EXPECT_EQ(records[1], (download_test::Record{4194304, 4194304, 1000}));
        EXPECT_FALSE(tavlin_test::FileExists(target));
    }
    EXPECT_TRUE(Delays().empty());
}

// A link that drops every connection after 256 KiB: each attempt asks for
// the rest of its segment at once, and the file completes. A Retry-After on
// the parts that were cut asks for no wait either: they delivered.
TEST_F(TransferTest, FlakyLinkCompletesWithoutWaits) {
    const uint32_t size = 12 * 1048576;
    const long cut = 256 * 1024;
    const std::string data = Pattern(size, 12);
    {
        FaultServer server(FlakyLink(data, cut, "Retry-After: 30"));
        CurlDownloader engine;
        Prepare(engine);
        const std::string target = dir / "retry-after";
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        ASSERT_TRUE(Delays().empty()) << testing::PrintToString(Delays());
    }
    FaultServer server(FlakyLink(data, cut));
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_TRUE(Delays().empty());

    // Per segment (named by its last byte), in arrival order: each request
    // starts where the one before was cut.
    std::map<uint64_t, std::vector<uint64_t>> starts;
    for (const auto& r : download_test::SegmentGets(server, size)) {
        uint64_t first = 0, last = 0;
        ASSERT_TRUE(download_test::AskedRange(r, size, &first, &last)) << r.range;
        starts[last].push_back(first);
    }
    ASSERT_EQ(starts.size(), 3u);
    uint64_t segmentStart = 0;
    for (const auto& [last, firsts] : starts) {
        SCOPED_TRACE(last);
        EXPECT_EQ(firsts.size(), (last + 1 - segmentStart + cut - 1) / cut);
        for (size_t i = 0; i < firsts.size(); ++i) EXPECT_EQ(firsts[i], segmentStart + i * cut) << i;
        segmentStart = last + 1;
    }
}

// A link that drops every few kilobytes still delivers on each attempt:
// however many attempts that takes (here 640 on the file's one connection,
// past the 500 the retries were once bounded by), it completes. The file is
// small enough for one connection, which keeps the test's thousands of
// connections down under ThreadSanitizer.
TEST_F(TransferTest, AttemptsThatDeliverDataNeverUseUpTheRetries) {
    const uint32_t size = 1310720;
    const std::string data = Pattern(size, 13);
    FaultServer server(FlakyLink(data, 2048));
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_GE(download_test::SegmentGets(server, size).size(), 640u);
}

// An answer that goes on past the bytes asked for (with no length, held
// open after them, or reset once they are in) ends the transfer as soon as
// the part is complete: the stall limit is never waited for, nothing past
// the part is written, and a whole file is not fetched again.
TEST_F(TransferTest, PartCompleteEndsItsAnswerWhateverFollows) {
    const uint32_t size = 3 * 4194304;
    const std::string data = Pattern(size, 14);
    const std::string extra(1 << 20, 'x');
    struct Case {
        const char* name;
        bool ranges;
        bool reset;  // reset after the body instead of holding the connection open
    };
    const Case cases[] = {
        {"ranged parts followed by more bytes, held open", true, false},
        {"one connection: the file followed by more bytes, held open", false, false},
        {"one connection: the whole file, then a reset", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server([&](const HttpRequest& r) {
            HttpReply reply = ServeFile(r, data, c.ranges);
            // The probes (the length probe is the first request) are answered plainly.
            if (r.method != "GET" || r.range == "bytes=1-1024" || r.index == 0) return reply;
            if (reply.status != 200 && reply.status != 206) return reply;
            reply.contentLength = false;
            if (c.reset) {
                reply.resetAfter = static_cast<long>(reply.body.size());
            } else {
                // Held open: the last byte is never sent.
                reply.body += extra;
                reply.stallAfter = static_cast<long>(reply.body.size()) - 1;
            }
            return reply;
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine, 120);
        const auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        // A bound, not a speed: only the stall limit could take this long.
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60)) << "waited for the stall limit";
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        auto gets = download_test::SegmentGets(server, size);
        if (c.ranges) {
            EXPECT_EQ(gets.size(), 3u);
        }
    }
    EXPECT_TRUE(Delays().empty());
}

// A part shorter than asked whose body goes on past its Content-Range (a
// length that counts more than the part): only the part is written, and the
// rest is asked for again at once. The bytes after it are not the file's.
TEST_F(TransferTest, BodyPastItsContentRangeIsNotWritten) {
    const uint32_t size = 1048576;
    const std::string data = Pattern(size, 33);
    const std::string junk(5000, 'j');
    FaultServer server([&](const HttpRequest& r) {
        if (!download_test::IsSegmentGet(r, size)) return ServeFile(r, data);
        uint64_t first = 0, last = 0;
        if (!download_test::AskedRange(r, size, &first, &last)) return download_test::Status(400);
        HttpReply reply = download_test::Partial(data, first, std::min<uint64_t>(last, first + 99999), size);
        reply.body += junk;
        return reply;
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    auto ranges = download_test::RangesOf(download_test::SegmentGets(server, size));
    ASSERT_EQ(ranges.size(), 11u);
    for (size_t i = 0; i < ranges.size(); ++i)
        EXPECT_EQ(ranges[i], "bytes=" + std::to_string(i * 100000) + "-" + std::to_string(size - 1));
    EXPECT_TRUE(Delays().empty());
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
    EXPECT_EQ(engine.EndReason(), DownloadEnd::NetworkLost);
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
