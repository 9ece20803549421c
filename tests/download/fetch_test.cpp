// tavlin-fetch as a process against nginx and the scripted server: a 100 MiB
// file in five parts, a missing file, a run killed half-way that the next
// run completes, a file replaced between a killed run and the next, and
// stop signals in every phase.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <numeric>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"
#include "nginx_server.h"

namespace {

using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;
using download_test::NginxAccess;
using download_test::NginxServer;
using download_test::Pattern;

class FetchTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir / "www";
        std::filesystem::create_directory(root);
        env.Set("XDG_STATE_HOME", dir / "state");
    }
    tavlin_test::RunResult Fetch(const std::string& url, const std::string& target, int timeoutMs = 120000) {
        return tavlin_test::Run({TAVLIN_FETCH, url, target}, env, timeoutMs);
    }
    // The segment requests nginx saw for `uri`: ranged GETs other than the range probe.
    static std::vector<NginxAccess> Segments(const std::vector<NginxAccess>& log, const std::string& uri) {
        std::vector<NginxAccess> out;
        for (const auto& a : log)
            if (a.uri == uri && a.method == "GET" && !a.range.empty() && a.range != "bytes=1-1024") out.push_back(a);
        return out;
    }

    tavlin_test::TempDir dir{"tavlin-fetch-"};
    std::string root;
    tavlin_test::Environment env = tavlin_test::Environment::Inherit();
};

// A large file goes in sixteen pieces, taken in file order by the five
// connections: each byte is asked for once.
TEST_F(FetchTest, HundredMebibytesInSixteenPieces) {
    const uint32_t size = 100 * 1048576;
    const std::string data = Pattern(size, 7);
    ASSERT_TRUE(tavlin_test::WriteFileText(root + "/big.zip", data));
    NginxServer nginx(root);
    std::string target = dir / "update.zip";
    auto result = Fetch(nginx.Url("/big.zip"), target);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
    EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
    std::vector<std::string> ranges;
    for (const auto& a : Segments(nginx.Access(), "/big.zip")) ranges.push_back(a.range);
    std::vector<std::string> expected;
    for (uint32_t first = 0; first < size; first += size / 16)
        expected.push_back("bytes=" + std::to_string(first) + "-" + std::to_string(first + size / 16 - 1));
    std::sort(ranges.begin(), ranges.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ranges, expected);
}

TEST_F(FetchTest, MissingFileFailsWithoutATarget) {
    NginxServer nginx(root);
    std::string target = dir / "update.zip";
    auto result = Fetch(nginx.Url("/missing.zip"), target, 30000);
    ASSERT_TRUE(result.finished);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_FALSE(tavlin_test::FileExists(target));
    EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
    EXPECT_EQ(nginx.Access().size(), 1u);  // 404 is not retried
}

TEST_F(FetchTest, KilledRunIsCompletedByTheNextFetchingLittleTwice) {
    const uint32_t size = 40 * 1048576;
    const std::string data = Pattern(size, 3);
    ASSERT_TRUE(tavlin_test::WriteFileText(root + "/first.zip", data));
    // The second run asks for the same bytes under another name, so the
    // access log tells its requests apart.
    std::filesystem::create_hard_link(root + "/first.zip", root + "/second.zip");
    NginxServer nginx(root, {2 * 1048576, "", ""});  // 2 MiB/s per connection: about 4 s in all
    std::string target = dir / "update.zip";
    std::string tmp = target + ".dltmp";

    tavlin_test::ChildProcess first;
    tavlin_test::SpawnOptions spawn;
    spawn.argv = {TAVLIN_FETCH, nginx.Url("/first.zip"), target};
    spawn.env = env;
    ASSERT_TRUE(first.Start(spawn));
    auto doneSoFar = [&] {
        std::vector<download_test::Record> records;
        uint32_t stored = 0;
        if (!download_test::ReadTrailer(tmp, 5, &records, &stored) || stored != size) return 0ull;
        unsigned long long sum = 0;
        for (const auto& r : records) sum += r.done;
        return sum;
    };
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return doneSoFar() >= size / 2; }, 60000, 20));
    ::kill(first.pid(), SIGKILL);
    ASSERT_TRUE(first.Wait(10000));
    unsigned long long kept = doneSoFar();
    ASSERT_GE(kept, size / 2);
    ASSERT_LT(kept, size);

    auto result = Fetch(nginx.Url("/second.zip"), target);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
    EXPECT_FALSE(tavlin_test::FileExists(tmp));
    auto second = Segments(nginx.Access(), "/second.zip");
    unsigned long long fetched = std::accumulate(second.begin(), second.end(), 0ull,
                                                 [](unsigned long long s, const NginxAccess& a) { return s + a.bodyBytes; });
    // Exactly what the trailer did not record as done.
    EXPECT_EQ(fetched, size - kept);
}

// A stop signal ends tavlin-fetch whatever it waits for: a probe the server
// never answers, or the wait before asking again (the server asks for 30 s,
// far beyond the bound here). A temporary file stays as it was.
TEST_F(FetchTest, StopSignalsEndTheFetchPromptlyAndKeepTheTmpFile) {
    const uint32_t part = 4194304, size = 3 * part;
    const std::string data = Pattern(size, 5);
    const std::string left = std::string(size - part + 1000, 'x') + std::string(part - 1000, '\0') +
                             download_test::Trailer({{0, part, part}, {part, part, part}, {2 * part, part, 1000}}, size);
    struct Phase {
        const char* name;
        bool leftTmp;  // a temporary file of an earlier run is there
        std::function<HttpReply(const HttpRequest&)> script;
        bool waitForSegment;  // signal once a segment has asked, not the probe
    };
    HttpReply silent;
    silent.silent = true;
    const Phase phases[] = {
        {"probing a silent server", true, [&](const HttpRequest&) { return silent; }, false},
        {"waiting to probe again", true, [](const HttpRequest&) { return download_test::RetryAfter(503, "30"); },
         false},
        {"waiting to ask for a segment again", false,
         [&](const HttpRequest& r) {
             return download_test::IsSegmentGet(r, size) ? download_test::RetryAfter(503, "30")
                                                         : download_test::ServeFile(r, data);
         },
         true},
    };
    int run = 0;
    for (const auto& phase : phases) {
        for (int signal : {SIGTERM, SIGINT}) {
            SCOPED_TRACE(std::string(phase.name) + (signal == SIGTERM ? ", SIGTERM" : ", SIGINT"));
            std::string target = dir / ("t" + std::to_string(run++));
            if (phase.leftTmp) {
                ASSERT_TRUE(tavlin_test::WriteFileText(target + ".dltmp", left));
            }
            FaultServer server(phase.script);
            tavlin_test::ChildProcess fetch;
            tavlin_test::SpawnOptions spawn;
            spawn.argv = {TAVLIN_FETCH, server.Url("/f.zip"), target};
            spawn.env = env;
            ASSERT_TRUE(fetch.Start(spawn));
            ASSERT_TRUE(tavlin_test::WaitUntil(
                [&] {
                    return phase.waitForSegment ? !download_test::SegmentGets(server, size).empty()
                                                : !server.Requests().empty();
                },
                30000));
            ::kill(fetch.pid(), signal);
            bool ended = fetch.Wait(5000);
            EXPECT_TRUE(ended);
            if (!ended) continue;  // the destructor kills it
            EXPECT_FALSE(fetch.signalled());
            EXPECT_NE(fetch.exitCode(), 0);
            EXPECT_FALSE(tavlin_test::FileExists(target));
            if (phase.leftTmp) {
                EXPECT_TRUE(tavlin_test::ReadFileText(target + ".dltmp") == left);
            } else {
                std::vector<download_test::Record> records;
                uint32_t stored = 0;
                EXPECT_TRUE(download_test::ReadTrailer(target + ".dltmp", 3, &records, &stored));
                EXPECT_EQ(stored, size);
            }
        }
    }
}

// The file is replaced on the server between a killed run and the next one,
// with the same length (nginx's ETag follows the modification time) and
// with another: the next run fetches the new file whole, each byte once.
TEST_F(FetchTest, FileReplacedBetweenAKillAndTheResumeIsFetchedWholeAndOnce) {
    const uint32_t size = 40 * 1048576;
    const uint32_t sizes[] = {size, size + 777777};
    NginxServer nginx(root, {2 * 1048576, "", ""});  // 2 MiB/s per connection
    int run = 0;
    for (uint32_t newSize : sizes) {
        SCOPED_TRACE(newSize);
        const std::string uri = "/f" + std::to_string(run) + ".zip";
        const std::string file = root + uri;
        const std::string target = dir / ("update" + std::to_string(run) + ".zip");
        const std::string tmp = target + ".dltmp";
        const std::string old = Pattern(size, 40 + run), fresh = Pattern(newSize, 50 + run);
        ++run;
        ASSERT_TRUE(tavlin_test::WriteFileText(file, old));

        tavlin_test::ChildProcess first;
        tavlin_test::SpawnOptions spawn;
        spawn.argv = {TAVLIN_FETCH, nginx.Url(uri), target};
        spawn.env = env;
        ASSERT_TRUE(first.Start(spawn));
        auto doneSoFar = [&] {
            std::vector<download_test::Record> records;
            uint32_t stored = 0;
            if (!download_test::ReadTrailer(tmp, 5, &records, &stored) || stored != size) return 0ull;
            unsigned long long sum = 0;
            for (const auto& r : records) sum += r.done;
            return sum;
        };
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return doneSoFar() >= size / 4; }, 60000, 20));
        ::kill(first.pid(), SIGKILL);
        ASSERT_TRUE(first.Wait(10000));
        ASSERT_LT(doneSoFar(), size);
        EXPECT_TRUE(tavlin_test::FileExists(tmp + ".version"));
        // nginx logs the five cut transfers once it notices them gone.
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Segments(nginx.Access(), uri).size() == 5; }, 20000));
        size_t mark = nginx.Access().size();

        // Replaced as a publisher would: a new file renamed over the old,
        // with a later modification time.
        auto when = std::filesystem::last_write_time(file);
        ASSERT_TRUE(tavlin_test::WriteFileText(file + ".new", fresh));
        std::filesystem::last_write_time(file + ".new", when + std::chrono::seconds(1000));
        std::filesystem::rename(file + ".new", file);

        auto result = Fetch(nginx.Url(uri), target);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == fresh);
        EXPECT_FALSE(tavlin_test::FileExists(tmp));
        EXPECT_FALSE(tavlin_test::FileExists(tmp + ".version"));
        auto log = nginx.Access();
        auto second = Segments(std::vector<NginxAccess>(log.begin() + static_cast<long>(mark), log.end()), uri);
        unsigned long long fetched = std::accumulate(
            second.begin(), second.end(), 0ull, [](unsigned long long s, const NginxAccess& a) { return s + a.bodyBytes; });
        EXPECT_EQ(fetched, newSize);
        for (const auto& a : second) EXPECT_EQ(a.status, 206) << a.range;
    }
}

}  // namespace
