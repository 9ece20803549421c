// The download job against a scripted server on loopback: the digest check
// and its outcomes, a failed transfer, and releasing a running job.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "job_fixture.h"

namespace fs = std::filesystem;
using download_test::HttpReply;
using download_test::HttpRequest;
using namespace job_test;

namespace {

constexpr int kJobBoundMs = 30000;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

struct DigestCase {
    const char* name;
    // The expected digest handed to the job, from the package's real one.
    std::string (*expected)(const std::string& real);
    bool finishes;
};

const DigestCase kDigestCases[] = {
    {"CapitalLetters", [](const std::string& real) { return Upper(real); }, true},
    {"Mismatch", [](const std::string& real) { return std::string(real.rbegin(), real.rend()); }, false},
    {"Empty", [](const std::string&) { return std::string(); }, false},
};

void PrintTo(const DigestCase& c, std::ostream* out) { *out << c.name; }

class JobDigestTest : public JobTest, public ::testing::WithParamInterface<DigestCase> {};

}  // namespace

TEST_P(JobDigestTest, FinishesOnlyOnAMatchingDigest) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const std::string package = PackageBytes(3 * 1024 * 1024 + 17);
    // A package from an earlier run, and the component the job registers.
    WriteFile(Package(), "an older package");
    fs::copy_file(INSTALL_ZEB_APP, dir / "InstallZebApp.dll");

    const uint32_t testThread = CurrentThreadId();
    StartJob([package](const HttpRequest& r) { return download_test::ServeFile(r, package); },
             GetParam().expected(Md5Hex(package)));
    ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the job did not end";

    EXPECT_EQ(job->progress.totalBytes.load(), static_cast<int64_t>(package.size()));
    const bool registered = fs::exists(dir / "InstallZebApp.registered");
    if (GetParam().finishes) {
        EXPECT_TRUE(job->finished);
        EXPECT_EQ(ReadFile(Package()), package);
        EXPECT_EQ(job->progress.downloadedBytes.load(), static_cast<int64_t>(package.size()));
        EXPECT_TRUE(registered);
        EXPECT_EQ(events->Failures(), 0u);
        return;
    }
    EXPECT_FALSE(job->finished);
    EXPECT_FALSE(fs::exists(Package())) << "a package that failed its digest must be deleted";
    EXPECT_EQ(job->progress.downloadedBytes.load(), 0);
    EXPECT_FALSE(registered);
    // The notification runs on a thread of its own, neither the worker nor ours.
    ASSERT_TRUE(events->WaitFor([](const auto& e) { return !e.empty(); }, 5000));
    const Event failure = events->Events().front();
    EXPECT_EQ(failure.kind, Event::Failure);
    EXPECT_NE(failure.thread, job->ThreadId());
    EXPECT_NE(failure.thread, testThread);
}

INSTANTIATE_TEST_SUITE_P(Digest, JobDigestTest, ::testing::ValuesIn(kDigestCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that only answers 404: the engine gives up, the job keeps polling
// without a failure notification, and the old package is gone all the same.
TEST_F(JobTest, FailedTransferKeepsPollingWithoutNotification) {
    SetUpLab(true);
    if (IsSkipped()) return;
    WriteFile(Package(), "an older package");
    StartJob([](const HttpRequest&) { return download_test::Status(404); }, "00");

    EXPECT_FALSE(job->WaitDone(2500));
    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_FALSE(job->finished);
    EXPECT_EQ(events->Failures(), 0u);
}

// Releasing the job in the middle of a transfer that has gone silent ends
// the worker at once and keeps the partial download for the next run.
TEST_F(JobTest, ReleaseDuringTransferEndsTheWorker) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const std::string package = PackageBytes(2 * 1024 * 1024);
    StartJob(
        [package](const HttpRequest& r) {
            HttpReply reply = download_test::ServeFile(r, package);
            reply.stallAfter = 64 * 1024;
            return reply;
        },
        Md5Hex(package));
    ASSERT_TRUE(WaitForBytes(10000)) << "no bytes arrived";
    EXPECT_FALSE(job->WaitDone(0));

    job.reset();  // bounded by the test's timeout: a hang here is the fault

    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_TRUE(fs::exists(dir / "update.zip.dltmp"));
    EXPECT_EQ(events->Failures(), 0u);
}
