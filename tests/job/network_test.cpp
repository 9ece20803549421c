// The job's network handling with the network cut for real: each test runs
// the job in a network namespace of its own, whose only link (a veth pair)
// the test sets down and up. The package travels over the namespace's own
// loopback; the server goes silent while the link is down, as the far end
// of a cut link does, or loopback goes down with the link.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "job_fixture.h"

namespace fs = std::filesystem;
using download_test::HttpReply;
using download_test::HttpRequest;
using namespace job_test;

namespace {

constexpr int kEventBoundMs = 15000;

std::vector<uint32_t> Range(uint32_t count) {
    std::vector<uint32_t> counts;
    for (uint32_t i = 0; i < count; ++i) counts.push_back(i);
    return counts;
}

// A link that can be cut: while `down` the server never answers (as a cut
// cable looks from the client); while `hold` each transfer goes silent
// after 64 KiB, so the download is still running when the link goes.
struct CutLink {
    std::atomic<bool> down{false};
    std::atomic<bool> hold{true};
};

download_test::FaultServer::Script CuttableServer(const std::string& package, std::shared_ptr<CutLink> link) {
    return [package, link](const HttpRequest& r) {
        if (link->down) {
            HttpReply silent;
            silent.silent = true;
            return silent;
        }
        HttpReply reply = download_test::ServeFile(r, package);
        if (link->hold) reply.stallAfter = 64 * 1024;
        return reply;
    };
}

// Serves `package` but goes silent part-way, so the download stays running.
download_test::FaultServer::Script StallingServer(const std::string& package) {
    return [package](const HttpRequest& r) {
        HttpReply reply = download_test::ServeFile(r, package);
        reply.stallAfter = 64 * 1024;
        return reply;
    };
}

}  // namespace

// No network when the job starts: the worker reports the failure before any
// request, and the download still runs to a finished job afterwards.
TEST_F(JobTest, NoNetworkAtStartNotifiesFirstAndStillDownloads) {
    SetUpLab(false);
    if (IsSkipped()) return;
    const std::string package = PackageBytes(256 * 1024);
    StartJob([package](const HttpRequest& r) { return download_test::ServeFile(r, package); },
             Md5Hex(package));
    ASSERT_TRUE(job->WaitDone(30000)) << "the job did not end";

    const std::vector<Event> seen = events->Events();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().kind, Event::Failure);
    EXPECT_EQ(seen.front().thread, job->ThreadId()) << "the first failure comes from the worker";
    EXPECT_EQ(seen.front().requests, 0u) << "the failure must come before any transfer";
    EXPECT_TRUE(job->finished) << "the transfer runs once the notification has returned";
    EXPECT_GT(server->Requests().size(), 0u);
}

// The link goes down mid-transfer and stays down: retries 0 to 9 from the
// watcher, then one failure, whose handler releases the job as the window
// does when it ends the updater.
TEST_F(JobTest, LastingOutageRetriesTenTimesThenFails) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    const std::string package = PackageBytes(1024 * 1024);
    std::atomic<TestJob*> handedOver{nullptr};
    std::atomic<bool> released{false};
    StartJob(StallingServer(package), Md5Hex(package), {}, [&] {
        delete handedOver.exchange(nullptr);
        released = true;
    });
    ASSERT_TRUE(WaitForBytes(10000)) << "no bytes arrived";
    const uint32_t worker = job->ThreadId();
    // From here on the job belongs to the failure handler.
    handedOver = job.release();
    ASSERT_TRUE(lab->SetLink(false));

    const bool done = tavlin_test::WaitUntil([&] { return released.load(); }, kEventBoundMs);
    delete handedOver.exchange(nullptr);  // only when the handler never ran
    ASSERT_TRUE(done) << "no failure after the outage, or the handler could not release the job";
    EXPECT_EQ(events->Retries(), Range(10));
    EXPECT_EQ(events->Failures(), 1u);
    EXPECT_NE(events->Events().back().thread, worker) << "the watcher reports, not the worker";
}

// The link comes back after three failed checks: retries 0, 1, 2, then 0,
// and no failure.
TEST_F(JobTest, OutageThatEndsReportsRetryZero) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    const std::string package = PackageBytes(1024 * 1024);
    std::atomic<bool> restored{false};
    std::atomic<bool> restoreFailed{false};
    StartJob(StallingServer(package), Md5Hex(package), [&](uint32_t n) {
        // The third failed check brings the link back before the next one.
        if (n == 2 && !restored.exchange(true) && !lab->SetLink(true)) restoreFailed = true;
    });
    ASSERT_TRUE(WaitForBytes(10000)) << "no bytes arrived";
    ASSERT_TRUE(lab->SetLink(false));

    ASSERT_TRUE(events->WaitFor([](const auto& e) { return e.size() >= 4; }, kEventBoundMs));
    ASSERT_FALSE(restoreFailed);
    // Nothing more follows while the link stays up.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(events->Retries(), (std::vector<uint32_t>{0, 1, 2, 0}));
    EXPECT_EQ(events->Failures(), 0u);
}

// The link stays down long enough for every transfer to stop for lack of
// network, then comes back before the watcher gives up: the download picks
// up again and completes, with no failure.
TEST_F(JobTest, NetworkBackAfterTheTransfersStoppedCompletesTheDownload) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    const std::string package = PackageBytes(1024 * 1024);
    auto link = std::make_shared<CutLink>();
    // A silent connection fails its attempt within about two seconds.
    hooks.stallSeconds = 2;
    std::atomic<bool> restored{false};
    std::atomic<bool> restoreFailed{false};
    StartJob(CuttableServer(package, link), Md5Hex(package), [&](uint32_t n) {
        // A pause like the window's paces the checks; six of them outlast
        // the stall limit by far.
        if (n == 6 && !restored.exchange(true)) {
            link->hold = false;
            link->down = false;
            if (!lab->SetLink(true)) restoreFailed = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    });
    ASSERT_TRUE(WaitForBytes(10000)) << "no bytes arrived";
    link->down = true;
    ASSERT_TRUE(lab->SetLink(false));

    ASSERT_TRUE(job->WaitDone(60000)) << "the download did not go on once the network was back";
    ASSERT_FALSE(restoreFailed);
    EXPECT_TRUE(job->finished);
    EXPECT_EQ(tavlin_test::ReadFileText(Package()), package);
    EXPECT_EQ(events->Failures(), 0u);
    EXPECT_EQ(events->Retries(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 0}));
}

// A lasting outage after the transfers have stopped for lack of network:
// the watcher's ten retries, one failure, and a worker that ends rather
// than waiting for a network that is not coming.
TEST_F(JobTest, LastingOutageAfterTheTransfersStoppedFailsOnceAndEnds) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    const std::string package = PackageBytes(1024 * 1024);
    auto link = std::make_shared<CutLink>();
    hooks.stallSeconds = 2;
    StartJob(CuttableServer(package, link), Md5Hex(package),
             [](uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(500)); });
    ASSERT_TRUE(WaitForBytes(10000)) << "no bytes arrived";
    link->down = true;
    ASSERT_TRUE(lab->SetLink(false));

    ASSERT_TRUE(events->WaitFor([](const auto& e) { return !e.empty() && e.back().kind == Event::Failure; },
                                kEventBoundMs + 10000))
        << "no failure after the outage";
    ASSERT_TRUE(job->WaitDone(15000)) << "the worker kept waiting after the failure";
    EXPECT_EQ(events->Retries(), Range(10));
    EXPECT_EQ(events->Failures(), 1u);
    EXPECT_FALSE(job->finished);
    EXPECT_TRUE(fs::exists(TmpFile())) << "the partial download is kept for the next run";
}

// The link goes down while the server is being probed, whose answer then
// never comes: the watcher tells the outage and gives up as it does during a
// transfer, without waiting for the probe to give up first (half a minute
// without a word in the window). Releasing the job then ends the probe.
TEST_F(JobTest, OutageDuringTheProbeIsReportedWhileTheProbeWaits) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    ASSERT_GE(hooks.stallSeconds, 30) << "the probe must outlast the bound below";
    StartJob(
        [](const HttpRequest&) {
            HttpReply silent;
            silent.silent = true;
            return silent;
        },
        Md5Hex("any"));
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return !server->Requests().empty(); }, 10000)) << "no probe came";
    ASSERT_TRUE(lab->SetLink(false));

    ASSERT_TRUE(events->WaitFor([](const auto& e) { return !e.empty() && e.back().kind == Event::Failure; },
                                kEventBoundMs))
        << "the outage was not reported while the probe waited";
    EXPECT_EQ(events->Retries(), Range(10));
    EXPECT_EQ(events->Failures(), 1u);
    job.reset();  // bounded by the test's timeout: a probe that holds the release is the fault
}

// The link goes down while the last bytes are still on their way, and they
// arrive all the same (already in the system's buffers; here, a server the
// namespace reaches on loopback): the package is complete and verified
// while the watcher counts its retries. The watcher stops there; a failure
// after the finished job would put the network prompt over the completion
// and end the updater.
TEST_F(JobTest, DownloadThatCompletesDuringAnOutageIsNoFailure) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    const std::string package = PackageBytes(256 * 1024);
    StartJob(
        [package](const HttpRequest& r) {
            HttpReply reply = download_test::ServeFile(r, package);
            // Past the watcher's first check, well within the stall limit.
            if (IsTransfer(r)) reply.bodyDelayMs = Downloader::kWatchMs + 1500;
            return reply;
        },
        Md5Hex(package), [](uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
    ASSERT_TRUE(tavlin_test::WaitUntil(
        [&] {
            for (const auto& r : server->Requests())
                if (IsTransfer(r)) return true;
            return false;
        },
        10000))
        << "no transfer started";
    ASSERT_TRUE(lab->SetLink(false));

    ASSERT_TRUE(job->WaitDone(kEventBoundMs)) << "the job did not end";
    ASSERT_TRUE(job->finished);
    ASSERT_FALSE(events->Retries().empty()) << "the outage began after the download: nothing shown";
    // Ten retries of 300 ms would have ended in a failure by now.
    EXPECT_FALSE(events->WaitFor([](const auto& e) { return !e.empty() && e.back().kind == Event::Failure; }, 6000))
        << "a finished download reported as a failure";
}

// Started without any way to the server, with 90 % of the package in its
// temporary file from an earlier run: the file is left exactly as it was,
// and the next run with the network back asks only for the missing tenth,
// each part under the validator of the version it holds.
TEST_F(JobTest, OfflineStartKeepsTheTemporaryFileAndTheNextRunFetchesOnlyWhatIsMissing) {
    SetUpLab(true);
    if (IsSkipped()) return;
    if (!lab) GTEST_SKIP() << "this machine cannot make network namespaces to cut the network in";
    const std::string package = PackageBytes(12 * 1024 * 1024 + 7);
    const std::string etag = "\"v1\"";
    auto firstRun = std::make_shared<std::atomic<bool>>(true);
    StartServer([package, etag, firstRun](const HttpRequest& r) {
        HttpReply reply = download_test::ServeVersion(r, package, etag, "Tue, 04 Mar 2025 10:00:00 GMT");
        // Nine tenths of every segment, then silence.
        if (*firstRun && IsTransfer(r)) reply.stallAfter = static_cast<long>(reply.body.size() * 9 / 10);
        return reply;
    });
    const std::string url = server->Url("/update.zip");
    const std::string md5 = Md5Hex(package);

    StartJobAt(url, md5);
    ASSERT_TRUE(tavlin_test::WaitUntil(
        [&] { return job->progress.downloadedBytes.load() >= static_cast<int64_t>(package.size() * 9 / 10 - 16); },
        30000))
        << "the first run did not reach 90 %";
    job.reset();
    const std::string kept = tavlin_test::ReadFileText(TmpFile());
    const std::vector<TmpSegment> segments = ReadTmpSegments(TmpFile());
    ASSERT_GT(segments.size(), 1u) << "a package this size is fetched in segments";
    ASSERT_GE(DoneBytes(segments), package.size() * 9 / 10 - 16);
    ASSERT_LT(DoneBytes(segments), package.size());
    const std::string keptVersion = tavlin_test::ReadFileText(TmpFile() + ".version");

    // Offline: no link, and not even loopback reaches the server.
    ASSERT_TRUE(lab->SetLink(false));
    ASSERT_TRUE(lab->SetLoopback(false));
    const size_t before = server->Requests().size();
    events = std::make_shared<EventLog>();
    StartJobAt(url, md5);
    // The engine has tried by the time the watcher reports (it starts after
    // the engine's Start has returned); give the worker a moment to end.
    events->WaitFor([](const auto& e) { return e.size() >= 2 && e.back().kind == Event::Failure; }, kEventBoundMs);
    job->WaitDone(5000);
    job.reset();
    EXPECT_EQ(server->Requests().size(), before) << "the offline run reached the server";
    EXPECT_GE(events->Failures(), 1u);
    EXPECT_TRUE(tavlin_test::ReadFileText(TmpFile()) == kept) << "the temporary file changed while offline";
    EXPECT_EQ(tavlin_test::ReadFileText(TmpFile() + ".version"), keptVersion);

    ASSERT_TRUE(lab->SetLoopback(true));
    ASSERT_TRUE(lab->SetLink(true));
    *firstRun = false;
    const size_t mark = server->Requests().size();
    events = std::make_shared<EventLog>();
    StartJobAt(url, md5);
    ASSERT_TRUE(job->WaitDone(30000)) << "the online run did not end";
    EXPECT_TRUE(job->finished);
    EXPECT_TRUE(tavlin_test::ReadFileText(Package()) == package);
    EXPECT_EQ(events->Failures(), 0u);

    std::vector<std::string> asked;
    const auto requests = server->Requests();
    for (size_t i = mark; i < requests.size(); ++i) {
        if (!IsTransfer(requests[i])) continue;
        asked.push_back(requests[i].range);
        EXPECT_EQ(requests[i].Header("if-range"), etag) << requests[i].range;
    }
    std::vector<std::string> expected = MissingRanges(segments);
    std::sort(asked.begin(), asked.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(asked, expected);
}
