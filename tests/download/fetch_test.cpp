// tavlin-fetch as a process against nginx: a 100 MiB file in five parts, a
// missing file, and a run killed half-way that the next run completes.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"
#include "nginx_server.h"

namespace {

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

TEST_F(FetchTest, HundredMebibytesInFiveParts) {
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
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-20971519", "bytes=20971520-41943039",
                                                "bytes=41943040-62914559", "bytes=62914560-83886079",
                                                "bytes=83886080-104857599"}));
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

}  // namespace
