// One version per file: the validator kept beside the temporary file and
// sent as If-Range, a file replaced between two runs or during a run, and
// servers whose ranged answers cannot be used. A download never completes
// with bytes of two versions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"

namespace {

using download_test::EngineTest;
using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;
using download_test::Pattern;
using download_test::ServeFile;
using download_test::ServeVersion;
using Served = download_test::FileVersion;

const uint32_t kPart = 4194304;
const uint32_t kSize = 3 * kPart;
const std::string kMonday = "Mon, 31 Mar 2025 10:00:00 GMT";
const std::string kTuesday = "Tue, 01 Apr 2025 10:00:00 GMT";
const std::string kWednesday = "Wed, 02 Apr 2025 10:00:00 GMT";
const std::string kThursday = "Thu, 03 Apr 2025 10:00:00 GMT";

// A server that ignores If-Range, as some caches do: it answers every range
// from what it has now, with that version's validators.
HttpReply IgnoringIfRange(const HttpRequest& request, const Served& version) {
    return ServeVersion(download_test::RangeRequest(request.range), version);
}

class VersionTest : public EngineTest {
protected:
    std::string VersionFile(const std::string& target) { return target + ".dltmp.version"; }
    // Waits for the engine to stop short of the file and says why.
    DownloadEnd StoppedShort(CurlDownloader& engine) {
        bool stopped = false;
        bool complete = false;
        tavlin_test::WaitUntil([&] { return (complete = engine.IsComplete(&stopped)) || stopped; }, 120000, 10);
        if (complete || !stopped) return DownloadEnd::Running;
        return engine.EndReason();
    }
};

// The validator that names the version: a strong ETag, else Last-Modified;
// none at all without either. Every ranged request of the download carries
// it, and it lives beside the temporary file until the end.
TEST_F(VersionTest, ValidatorIsKeptBesideTheTmpFileAndSentAsIfRange) {
    const std::string data = Pattern(kSize);
    struct Case {
        const char* name;
        std::string etag, lastModified;
        std::string ifRange;  // "" when none is expected
    };
    const Case cases[] = {
        {"strong ETag", "\"v1\"", kTuesday, "\"v1\""},
        {"weak ETag: the date", "W/\"v1\"", kTuesday, kTuesday},
        {"only a date", "", kTuesday, kTuesday},
        {"nothing", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool stalled = false;
        FaultServer server([&](const HttpRequest& r) {
            HttpReply reply = ServeVersion(r, data, c.etag, c.lastModified);
            if (r.range == "bytes=4194304-8388607" && !stalled) {
                stalled = true;
                reply.stallAfter = 0;  // until the stall limit
            }
            return reply;
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine, 1);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return engine.downloadedSize >= 2 * kPart; }, 60000));
        if (c.ifRange.empty()) {
            EXPECT_FALSE(tavlin_test::FileExists(VersionFile(target)));
        } else {
            EXPECT_NE(tavlin_test::ReadFileText(VersionFile(target)).find(c.ifRange), std::string::npos);
        }
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        EXPECT_FALSE(tavlin_test::FileExists(VersionFile(target)));
        auto segments = download_test::SegmentGets(server, kSize);
        ASSERT_EQ(segments.size(), 4u);  // three, and the stalled one again
        for (const auto& r : segments) EXPECT_EQ(r.Header("if-range"), c.ifRange) << r.range;
    }
}

// A run ends (as if killed) with every segment part done, and the file is
// replaced on the server before the next run. That run fetches the new file
// whole, from the first byte, and every byte of it once.
TEST_F(VersionTest, FileReplacedBetweenRunsIsFetchedWholeAndOnce) {
    const Served first{Pattern(kSize, 1), "\"v1\"", kTuesday};
    struct Case {
        const char* name;
        Served second;
        Served before;  // what the first run fetched
    };
    const Case cases[] = {
        {"same length, another ETag", {Pattern(kSize, 2), "\"v2\"", kTuesday}, first},
        {"another length, another ETag", {Pattern(kSize + 12345, 3), "\"v3\"", kTuesday}, first},
        {"same length, another date", {Pattern(kSize, 4), "", kWednesday}, {first.body, "", kTuesday}},
        // Nothing left to compare the kept bytes with: they cannot be trusted.
        {"same length, the validators gone", {Pattern(kSize, 5), "", ""}, first},
        {"an ETag before, only a date now", {Pattern(kSize, 6), "", kWednesday}, {first.body, "\"v1\"", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Atomic: the test switches it between runs, the server's threads read it.
        std::atomic<const Served*> current{&c.before};
        FaultServer server([&](const HttpRequest& r) {
            HttpReply reply = ServeVersion(r, *current.load());
            if (current == &c.before && download_test::IsSegmentGet(r, kSize)) reply.stallAfter = 1048576;
            return reply;
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        {
            CurlDownloader engine;
            Prepare(engine);
            ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
            ASSERT_TRUE(tavlin_test::WaitUntil([&] { return engine.downloadedSize == 3 * 1048576; }, 60000));
        }  // the engine goes like a killed process: its files stay
        ASSERT_TRUE(tavlin_test::FileExists(target + ".dltmp"));
        ASSERT_TRUE(tavlin_test::FileExists(VersionFile(target)));

        size_t mark = server.Requests().size();
        current = &c.second;
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == c.second.body);
        auto ranges = download_test::RangesOf(download_test::SegmentGets(server, c.second.body.size(), mark));
        EXPECT_TRUE(download_test::CoverOnce(ranges, c.second.body.size())) << testing::PrintToString(ranges);
        EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
        EXPECT_FALSE(tavlin_test::FileExists(VersionFile(target)));
    }
}

// The file changes while segments are half way: the first answer that shows
// it stops the download (Restart), and Restart fetches the new file from
// its first byte. No byte of the old version survives.
TEST_F(VersionTest, FileChangedDuringARunIsFetchedAgainFromZero) {
    struct Case {
        const char* name;
        Served before, after;
        bool honoursIfRange;
        bool bare416 = false;  // a 416 without its Content-Range
    };
    const Case cases[] = {
        {"200 to an If-Range with the ETag", {Pattern(kSize, 1), "\"v1\"", ""}, {Pattern(kSize, 2), "\"v2\"", ""}, true},
        {"200 to an If-Range with the date", {Pattern(kSize, 1), "", kTuesday}, {Pattern(kSize, 2), "", kWednesday},
         true},
        {"206 of another total", {Pattern(kSize, 1), "", ""}, {Pattern(kSize + 4096, 2), "", ""}, false},
        {"206 with another ETag", {Pattern(kSize, 1), "\"v1\"", ""}, {Pattern(kSize, 2), "\"v2\"", ""}, false},
        // Every part still missing lies past the new end.
        {"416 with a shorter total", {Pattern(kSize, 1), "", ""}, {Pattern(100000, 2), "", ""}, false},
        // The same without the total: a part within the probed length that
        // cannot be served says as much.
        {"416 without a total", {Pattern(kSize, 1), "", ""}, {Pattern(100000, 2), "", ""}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> segmentRequests{0};
        const Served* current = &c.before;  // only the script, under the server's lock
        FaultServer server([&](const HttpRequest& r) {
            bool segment = download_test::IsSegmentGet(r, kSize);
            if (segment && ++segmentRequests == 7) current = &c.after;
            if (current == &c.before) {
                HttpReply reply = ServeVersion(r, c.before);
                if (segment) reply.resetAfter = 512 * 1024;  // every segment gets some of the old file
                return reply;
            }
            HttpReply reply = c.honoursIfRange ? ServeVersion(r, c.after) : IgnoringIfRange(r, c.after);
            if (c.bare416 && reply.status == 416) reply.headers.clear();
            return reply;
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_EQ(StoppedShort(engine), DownloadEnd::Restart);
        EXPECT_GT(segmentRequests, 6);
        EXPECT_FALSE(tavlin_test::FileExists(target));

        size_t mark = server.Requests().size();
        ASSERT_TRUE(engine.Restart());
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == c.after.body);
        auto ranges = download_test::RangesOf(download_test::SegmentGets(server, c.after.body.size(), mark));
        EXPECT_TRUE(download_test::CoverOnce(ranges, c.after.body.size())) << testing::PrintToString(ranges);
        EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
        EXPECT_FALSE(tavlin_test::FileExists(VersionFile(target)));
    }
}

// A file that changes again after the restart: ranged answers that keep
// naming another file than the probe found cannot be trusted, so the engine
// goes on once more over one plain connection (which a change can no longer
// split), and a change seen by that one ends the download refused.
TEST_F(VersionTest, SecondChangeFallsBackToOnePlainConnectionAndAThirdEndsRefused) {
    const Served versions[] = {{Pattern(kSize, 1), "\"v1\"", kMonday},
                               {Pattern(kSize, 2), "\"v2\"", kTuesday},
                               {Pattern(kSize, 3), "\"v3\"", kWednesday},
                               {Pattern(kSize + 7, 4), "\"v4\"", kThursday}};
    for (bool thirdChange : {false, true}) {
        SCOPED_TRACE(thirdChange ? "a third change" : "no third change");
        std::atomic<size_t> current{0};
        int requestsOfCurrent = 0;
        int unrangedGetsOfLast = 0;
        FaultServer server([&](const HttpRequest& r) {
            bool segment = download_test::IsSegmentGet(r, kSize);
            // Three segment requests of each version, then the next one.
            if (segment && current < 2 && r.Header("if-range") == versions[current].etag && ++requestsOfCurrent > 3) {
                ++current;
                requestsOfCurrent = 0;
            }
            // The last start's length probe, then its plain request: the
            // file changes once more between the two.
            if (thirdChange && current == 2 && r.method == "GET" && r.range.empty() && ++unrangedGetsOfLast == 2)
                return ServeVersion(r, versions[3]);
            HttpReply reply = ServeVersion(r, versions[current]);
            if (segment && reply.status == 206) reply.resetAfter = 512 * 1024;
            return reply;
        });
        std::string target = dir / (thirdChange ? "third" : "second");
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_EQ(StoppedShort(engine), DownloadEnd::Restart);
        ASSERT_TRUE(engine.Restart());
        ASSERT_EQ(StoppedShort(engine), DownloadEnd::Restart);
        ASSERT_TRUE(engine.Restart()) << "no fall-back to one connection";
        if (!thirdChange) {
            ASSERT_TRUE(RunToEnd(engine));
            EXPECT_TRUE(tavlin_test::ReadFileText(target) == versions[2].body);
            EXPECT_EQ(current.load(), 2u);
            continue;
        }
        ASSERT_EQ(StoppedShort(engine), DownloadEnd::Restart);
        EXPECT_FALSE(engine.Restart());
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_FALSE(engine.WaitAndFinish());
        EXPECT_FALSE(tavlin_test::FileExists(target));
    }
}

// Two servers behind one address with the same file under different ETags
// (their copies differ in modification time): ranged answers keep naming
// the other node's version, so the download falls back to one plain
// connection, and that one's answer is the whole file from its first byte,
// whichever node sends it. Of the probed length it is taken; refusing it
// would fail every run on such a pair.
TEST_F(VersionTest, PlainAnswerOfAnotherValidatorButTheSameLengthCompletes) {
    const std::string data = Pattern(kSize, 9);
    std::atomic<int> answered{0};
    FaultServer server([&](const HttpRequest& r) {
        const Served node{data, answered++ % 2 == 0 ? "\"node-a\"" : "\"node-b\"", ""};
        HttpReply reply = ServeVersion(r, node);
        if (download_test::IsSegmentGet(r, kSize) && reply.status == 206) reply.resetAfter = 512 * 1024;
        return reply;
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    int restarts = 0;
    bool complete = false;
    for (;;) {
        bool stopped = false;
        tavlin_test::WaitUntil([&] { return (complete = engine.IsComplete(&stopped)) || stopped; }, 120000, 10);
        if (complete || engine.EndReason() != DownloadEnd::Restart || restarts == 3) break;
        ++restarts;
        ASSERT_TRUE(engine.Restart()) << "restart " << restarts << " ended " << testing::PrintToString(engine.EndReason());
    }
    ASSERT_TRUE(complete) << testing::PrintToString(engine.EndReason());
    ASSERT_TRUE(engine.WaitAndFinish());
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    EXPECT_LE(restarts, 2);
}

// Ranged answers that keep coming back unusable although the probe found
// ranges working: after a few, the download goes on over one connection
// with a plain request. Nothing of the unusable answers is written.
TEST_F(VersionTest, UnusableRangedAnswersFallBackToOnePlainConnection) {
    const Served file{Pattern(kSize, 5), "\"v5\"", kTuesday};
    struct Case {
        const char* name;
        std::function<HttpReply(const HttpRequest&)> answer;
    };
    const Case cases[] = {
        {"200 with the whole file, same ETag",
         [&](const HttpRequest& r) { return ServeVersion(r, file, false); }},
        {"200 with the whole file, no validators", [&](const HttpRequest& r) { return ServeFile(r, file.body, false); }},
        {"206 at another offset",
         [&](const HttpRequest& r) {
             uint64_t first = 0, last = 0;
             download_test::AskedRange(r, kSize, &first, &last);
             uint64_t shifted = first >= 4096 ? first - 4096 : first + 4096;
             HttpReply reply = download_test::Partial(file.body, shifted, shifted + (last - first), kSize);
             reply.headers.push_back("ETag: " + file.etag);
             return reply;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server([&](const HttpRequest& r) {
            return download_test::IsSegmentGet(r, kSize) ? c.answer(r) : ServeVersion(r, file);
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_EQ(StoppedShort(engine), DownloadEnd::Restart);
        size_t unusable = download_test::SegmentGets(server, kSize).size();
        EXPECT_GE(unusable, static_cast<size_t>(CurlDownloadConfig.unusableRangeLimit));
        EXPECT_LE(unusable, static_cast<size_t>(CurlDownloadConfig.unusableRangeLimit) + 3);
        EXPECT_EQ(engine.downloadedSize.load(), 0u);
        std::string tmp = tavlin_test::ReadFileText(target + ".dltmp");
        ASSERT_GE(tmp.size(), kSize);
        EXPECT_TRUE(std::all_of(tmp.begin(), tmp.begin() + kSize, [](char b) { return b == 0; }));

        size_t mark = server.Requests().size();
        ASSERT_TRUE(engine.Restart());
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == file.body);
        // After the probes' own requests: one plain transfer, nothing ranged.
        auto requests = server.Requests();
        std::vector<HttpRequest> transfers;
        for (size_t i = mark; i < requests.size(); ++i)
            if (requests[i].method == "GET" && requests[i].range != "bytes=1-1024") transfers.push_back(requests[i]);
        ASSERT_EQ(transfers.size(), 2u);  // the length probe, the transfer
        EXPECT_EQ(transfers[1].range, "");
        EXPECT_EQ(transfers[1].Header("if-range"), "");
        EXPECT_TRUE(download_test::SegmentGets(server, kSize, mark).empty());
    }
}

}  // namespace
