// The job's network handling with the network cut for real: each test runs
// the job in a network namespace of its own, whose only link (a veth pair)
// the test sets down and up. The package travels over the namespace's own
// loopback, so only the network state changes, not the transfer.
#include <atomic>
#include <thread>

#include "child_process.h"
#include "job_fixture.h"

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
