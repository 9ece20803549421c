// SIGTERM (a logout) and SIGINT end the updater whatever its download is
// doing: moving data, probing a server that never answers, or waiting out a
// Retry-After. The process ends as if its window had been closed (status 0)
// and the temporary file stays for the next run, untouched where no byte
// arrived.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>

#include "cycle_fixture.h"
#include "fault_server.h"

namespace cycle_test {
namespace {

using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;

constexpr long kSlowBytes = 96 * 1024;
constexpr size_t kPackageBytes = 12u * 1048576;
// What the issue asks of a stop in any phase; the wait is bounded by it.
constexpr int kStopBoundMs = 2000;

enum class Serving { Slowly, Silently, Busy };

class SignalCycleTest : public CycleTest, public ::testing::WithParamInterface<int> {
protected:
    // Sends the signal once the updater's window is up and `ready` holds,
    // and checks that the updater ends in time as a closed window does.
    void StopAndCheck(ChildProcess& updater, const std::function<bool()>& ready, const char* phase) {
        SCOPED_TRACE(phase);
        ASSERT_FALSE(WaitForClass(kProgressClass).empty()) << "no progress window; " << updater.Stderr();
        ASSERT_TRUE(tavlin_test::WaitUntil(ready, kProcessTimeoutMs)) << updater.Stderr();
        ASSERT_EQ(::kill(updater.pid(), GetParam()), 0);
        ASSERT_TRUE(updater.Wait(kStopBoundMs)) << "still running " << kStopBoundMs << " ms after the signal";
        EXPECT_FALSE(updater.signalled()) << "ended by the signal instead of by its message loop";
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
        EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip")));
    }
};

TEST_P(SignalCycleTest, EndsPromptlyInEveryPhaseKeepingTheTemporaryFile) {
    const std::string data = WriteStoredPackage(Www("update.zip"), kPackageBytes, 1);
    std::atomic<Serving> serving{Serving::Slowly};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply;
        switch (serving.load()) {
            case Serving::Slowly:
                reply = download_test::ServeFile(r, data);
                if (IsTransfer(r)) reply.stallAfter = kSlowBytes;
                break;
            case Serving::Silently:
                reply.silent = true;
                break;
            case Serving::Busy:
                // Half a minute is well below the engine's cap on such waits.
                reply = download_test::RetryAfter(503, "30");
                break;
        }
        return reply;
    });
    const std::vector<std::string> args = {"-url=" + server.Url("/update.zip"), "-md5=" + Md5Hex(Www("update.zip")),
                                           "-newver=2.0"};
    const std::string tmp = Work("update.zip.dltmp");

    {
        ChildProcess updater = StartUpdater(args);
        StopAndCheck(updater, [&] { return DoneBytes(ReadSegments(tmp)) >= kSlowBytes; }, "transfer");
        EXPECT_GE(DoneBytes(ReadSegments(tmp)), static_cast<uint64_t>(kSlowBytes)) << "the temporary file was lost";
    }
    if (HasFatalFailure()) return;

    // A resumed download asks the server first: a server that never answers
    // and one that asks for a long wait hold the updater in its probe.
    const std::string kept = tavlin_test::ReadFileText(tmp);
    ASSERT_FALSE(ReadSegments(tmp).empty());
    const struct {
        Serving serving;
        const char* phase;
    } phases[] = {{Serving::Silently, "probe"}, {Serving::Busy, "retry wait"}};
    for (const auto& p : phases) {
        serving = p.serving;
        const size_t mark = server.Requests().size();
        ChildProcess updater = StartUpdater(args);
        // The request is recorded before it is answered: a moment later the
        // probe is waiting for the silent server, or for the Retry-After.
        StopAndCheck(
            updater,
            [&, seen = std::optional<std::chrono::steady_clock::time_point>()]() mutable {
                if (!seen && server.Requests().size() > mark) seen = std::chrono::steady_clock::now();
                return seen && std::chrono::steady_clock::now() - *seen > std::chrono::milliseconds(500);
            },
            p.phase);
        EXPECT_TRUE(tavlin_test::ReadFileText(tmp) == kept) << p.phase << ": the temporary file changed";
        if (HasFatalFailure()) return;
    }
}

// A stop while the forced update's notice waits for the user is no answer
// to it: the client keeps running, nothing is downloaded.
TEST_P(SignalCycleTest, StopDuringTheForcedNoticeLeavesTheClientRunning) {
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("2.0"));
    const std::string package = tavlin_test::ReadFileText(Www("update.zip"));
    FaultServer server([&](const HttpRequest& r) { return download_test::ServeFile(r, package); });
    ChildProcess client = StartClient();
    ChildProcess updater =
        StartUpdater({"-url=" + server.Url("/update.zip"), "-md5=" + md5, "-forcedupdate=1", "-newver=2.0"});
    ASSERT_FALSE(WaitForClass(kPromptClass).empty()) << "no forced-update notice; " << updater.Stderr();
    ASSERT_EQ(::kill(updater.pid(), GetParam()), 0);
    ASSERT_TRUE(updater.Wait(kStopBoundMs)) << "still running " << kStopBoundMs << " ms after the signal";
    EXPECT_FALSE(updater.signalled());
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    EXPECT_TRUE(client.Alive()) << "the stop was taken for consent to stop the client";
    EXPECT_TRUE(server.Requests().empty()) << "a download started after the stop";
    EXPECT_TRUE(WindowsOfClass(kProgressClass).empty());
}

INSTANTIATE_TEST_SUITE_P(Signal, SignalCycleTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT"); });

}  // namespace
}  // namespace cycle_test
