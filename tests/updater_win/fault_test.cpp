// The download engine's failure classes under Wine, against the scripted
// fault server that with-fault-server.sh starts (TAVLIN_TEST_FAULT_URL,
// TAVLIN_TEST_FAULT_DIR): answers worth asking again are retried after the
// engine's wait (Retry-After honoured, capped at 60 s), waits double over
// barren attempts, and permanent answers stop the download at once; the
// same for the length probe, which gives up after ten barren retries.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/CurlDownload.h"
#include "win_test_support.h"

namespace {

using win_test::Exists;
using win_test::Pattern;
using win_test::ReadWhole;
using win_test::TempFolder;
using win_test::WriteWhole;

// Files of 600 bytes: one segment, and the length probe asks bytes 1-300.
constexpr size_t kSize = 600;
constexpr char kProbe[] = "bytes=1-300";

class FaultTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(win_test::PrepareEngine("winFault")); }

    void SetUp() override {
        url_ = win_test::Env("TAVLIN_TEST_FAULT_URL");
        serverDir_ = win_test::Env("TAVLIN_TEST_FAULT_DIR");
        ASSERT_FALSE(url_.empty() || serverDir_.empty()) << "run through with-fault-server.sh, which starts the server";
        ASSERT_TRUE(dir_.valid());
    }

    // Puts `data` on the server as /name, its segment transfers answered in
    // turn by `answers` and its other requests (the length probe) by
    // `probeAnswers` (lines of the server's scripts).
    void Serve(const std::string& name, const std::string& data, const std::vector<std::string>& answers,
               const std::vector<std::string>& probeAnswers = {}) {
        const auto script = [](const std::vector<std::string>& lines) {
            std::string text;
            for (const std::string& line : lines) text += line + "\n";
            return text;
        };
        ASSERT_TRUE(WriteWhole(serverDir_ + "\\" + name + ".answers", script(answers)));
        ASSERT_TRUE(WriteWhole(serverDir_ + "\\" + name + ".probe-answers", script(probeAnswers)));
        ASSERT_TRUE(WriteWhole(serverDir_ + "\\" + name, data));
    }

    // How many requests the server saw for /name.
    size_t RequestCount(const std::string& name) const {
        size_t count = 0;
        std::istringstream in(ReadWhole(serverDir_ + "\\requests.log"));
        for (std::string method, path, range; in >> method >> path >> range;) count += path == "/" + name;
        return count;
    }

    // The ranges of the segment transfers of /name: GETs with a range other
    // than the length probe.
    std::vector<std::string> SegmentRanges(const std::string& name) const {
        std::vector<std::string> ranges;
        std::istringstream in(ReadWhole(serverDir_ + "\\requests.log"));
        for (std::string method, path, range; in >> method >> path >> range;)
            if (method == "GET" && path == "/" + name && range != "-" && range != kProbe) ranges.push_back(range);
        return ranges;
    }

    // Starts the engine on /name with waits recorded instead of slept.
    void Start(CurlDownloader& engine, const std::string& name) {
        SetHooks(engine);
        ASSERT_TRUE(engine.Start(url_ + "/" + name, Target(name), nullptr));
    }

    void SetHooks(CurlDownloader& engine) {
        CurlDownloadHooks hooks;
        hooks.sleep = [this](uint32_t ms) {
            std::lock_guard<std::mutex> lock(mutex_);
            delays_.push_back(ms);
        };
        hooks.networkAlive = [] { return true; };
        // Short, for the silent server; nothing else here is slow.
        hooks.stallSeconds = 5;
        engine.SetHooks(hooks);
    }

    // Waits (bounded) for the engine to rest; true when it stopped.
    static bool Rest(CurlDownloader& engine, bool* complete) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool stopped = false;
        *complete = engine.IsComplete(&stopped);
        while (!*complete && !stopped && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            *complete = engine.IsComplete(&stopped);
        }
        return *complete || stopped;
    }

    // Serves a file of kSize bytes as /name with these scripts, and expects
    // the engine to end with that file whole at its target.
    void DownloadsWhole(const std::string& name, uint32_t seed, const std::vector<std::string>& answers,
                        const std::vector<std::string>& probeAnswers = {}) {
        const std::string data = Pattern(kSize, seed);
        Serve(name, data, answers, probeAnswers);
        CurlDownloader engine;
        Start(engine, name);
        bool complete = false;
        ASSERT_TRUE(Rest(engine, &complete));
        EXPECT_TRUE(complete);
        EXPECT_TRUE(engine.WaitAndFinish());
        EXPECT_TRUE(ReadWhole(Target(name)) == data);
    }

    std::vector<uint32_t> TakeDelays() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(delays_);
    }

    std::string Target(const std::string& name) const { return dir_ / name; }

    std::string url_, serverDir_;
    TempFolder dir_;
    std::mutex mutex_;
    std::vector<uint32_t> delays_;
};

TEST_F(FaultTest, RetriedAnswersToASegment) {
    struct Case {
        const char* name;
        const char* answer;
        std::vector<uint32_t> delays;
        const char* retry;  // the second request's range
    };
    const Case cases[] = {
        {"500", "status 500", {1000}, "bytes=0-599"},
        {"502", "status 502", {1000}, "bytes=0-599"},
        {"503", "status 503", {1000}, "bytes=0-599"},
        {"408", "status 408", {1000}, "bytes=0-599"},
        {"429", "status 429", {1000}, "bytes=0-599"},
        {"429 with Retry-After: 7", "retry-after 429 7", {7000}, "bytes=0-599"},
        {"503 with Retry-After: 3600", "retry-after 503 3600", {60000}, "bytes=0-599"},
        {"connection reset at once", "reset", {1000}, "bytes=0-599"},
        {"empty short body", "close-after 0", {1000}, "bytes=0-599"},
        // An attempt that delivered data is followed at once, from where it stopped.
        {"short body of 100 bytes", "close-after 100", {}, "bytes=100-599"},
        {"reset after 100 bytes", "reset-after 100", {}, "bytes=100-599"},
        {"silent after 100 bytes", "stall-after 100", {}, "bytes=100-599"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "retried" + std::to_string(&c - cases) + ".zip";
        DownloadsWhole(name, static_cast<uint32_t>(&c - cases) + 1, {c.answer});
        EXPECT_EQ(TakeDelays(), c.delays);
        EXPECT_EQ(SegmentRanges(name), (std::vector<std::string>{"bytes=0-599", c.retry}));
    }
}

// The waits double (1 s, 2 s, 4 s) over attempts in a row that brought
// nothing; one that delivered data starts them again.
TEST_F(FaultTest, BackoffDoublesOnlyOverAttemptsThatDeliveredNothing) {
    struct Case {
        const char* name;
        std::vector<std::string> answers;
        std::vector<uint32_t> delays;
    };
    const Case cases[] = {
        {"three failures", {"status 500", "status 500", "status 500"}, {1000, 2000, 4000}},
        {"failures around a productive attempt",
         {"status 500", "status 500", "close-after 100", "status 500", "status 500"},
         {1000, 2000, 1000, 2000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "backoff" + std::to_string(&c - cases) + ".zip";
        DownloadsWhole(name, 20 + static_cast<uint32_t>(&c - cases), c.answers);
        EXPECT_EQ(TakeDelays(), c.delays);
        EXPECT_EQ(SegmentRanges(name).size(), c.answers.size() + 1);
    }
}

// Answers that asking again cannot change end the download without a wait
// or a second request, and leave no file at the target.
TEST_F(FaultTest, PermanentAnswersStopTheDownloadAtOnce) {
    const char* const answers[] = {"status 400", "status 403", "status 404", "status 410",
                                   "redirect 302 ftp://127.0.0.1/f", "redirect 302 file:///C:/windows/win.ini"};
    for (const char* const& answer : answers) {
        SCOPED_TRACE(answer);
        const std::string name = "permanent" + std::to_string(&answer - answers) + ".zip";
        Serve(name, Pattern(kSize, 40), {answer});
        CurlDownloader engine;
        Start(engine, name);
        bool complete = false;
        ASSERT_TRUE(Rest(engine, &complete));
        EXPECT_FALSE(complete);
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_FALSE(engine.WaitAndFinish());
        EXPECT_FALSE(Exists(Target(name)));
        EXPECT_TRUE(TakeDelays().empty());
        EXPECT_EQ(SegmentRanges(name), std::vector<std::string>{"bytes=0-599"});
    }
}

// Answers to the length probe after which asking again cannot help: the
// probe ends with the first of them, without a wait, and nothing is created.
TEST_F(FaultTest, PermanentAnswersToTheLengthProbeEndAtOnce) {
    struct Case {
        const char* answer;
        size_t requests;
    };
    const Case cases[] = {
        {"status 400", 1},
        {"status 401", 1},
        {"status 403", 1},
        {"status 404", 1},
        {"status 405", 1},
        {"status 410", 1},
        {"status 451", 1},
        {"redirect 302 file:///C:/windows/win.ini", 1},
        {"redirect 301 ftp://127.0.0.1/f.zip", 1},
        {"claim-length 4294967296", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        const std::string name = "probe-permanent" + std::to_string(&c - cases) + ".zip";
        Serve(name, Pattern(kSize, 50), {}, {c.answer});
        CurlDownloader engine;
        SetHooks(engine);
        EXPECT_FALSE(engine.Start(url_ + "/" + name, Target(name), nullptr));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_EQ(RequestCount(name), c.requests);
        EXPECT_FALSE(Exists(Target(name) + ".dltmp"));
        bool stopped = false;
        EXPECT_FALSE(engine.IsComplete(&stopped));
        EXPECT_TRUE(stopped);
        EXPECT_TRUE(TakeDelays().empty());
    }
}

// Answers to the length probe that lead to the file: at once, or after one
// wait (2 s before a probe's first retry, or what Retry-After asks, up to
// 60 s).
TEST_F(FaultTest, LengthProbeAnswersThatLeadToTheFile) {
    struct Case {
        const char* answer;
        std::vector<uint32_t> delays;
    };
    const Case cases[] = {
        {"redirect 301 /probe-led2.zip", {}},
        {"redirect 307 /probe-led3.zip", {}},
        {"redirect 302", {2000}},  // no target: no length
        {"no-length", {2000}},
        {"status 500", {2000}},
        {"status 503", {2000}},
        {"retry-after 429 7", {7000}},
        {"retry-after 503 3600", {60000}},
        {"reset", {2000}},
        {"silent", {2000}},  // until the stall limit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        const std::string name = "probe-led" + std::to_string(&c - cases + 2) + ".zip";
        DownloadsWhole(name, 60 + static_cast<uint32_t>(&c - cases), {}, {c.answer});
        EXPECT_EQ(TakeDelays(), c.delays);
    }
}

// A server that never answers the probe usefully costs ten retries with
// doubling waits capped at 60 s, then the download gives up.
TEST_F(FaultTest, LengthProbeGivesUpAfterTenRetries) {
    const std::vector<uint32_t> doubling = {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000, 60000};
    const std::string name = "probe-gives-up.zip";
    Serve(name, Pattern(kSize, 70), {}, std::vector<std::string>(doubling.size() + 1, "status 503"));
    CurlDownloader engine;
    SetHooks(engine);
    EXPECT_FALSE(engine.Start(url_ + "/" + name, Target(name), nullptr));
    EXPECT_EQ(engine.EndReason(), DownloadEnd::GaveUp);
    EXPECT_EQ(TakeDelays(), doubling);
    EXPECT_EQ(RequestCount(name), doubling.size() + 1);
    EXPECT_FALSE(Exists(Target(name) + ".dltmp"));
}

}  // namespace
