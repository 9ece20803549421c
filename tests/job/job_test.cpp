// The download job against a scripted server on loopback: the digest check
// and its outcomes, servers that stop the engine or only delay it, and
// releasing a running job.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>

#include "job_fixture.h"
#include "nginx_server.h"
#include "platform/network.h"

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

// How a server answers, from its first request on. `state` is the script's
// own and starts at 0; scripts run one request at a time.
using Answer = HttpReply (*)(const HttpRequest& r, const std::string& package, int& state);

struct OutcomeCase {
    const char* name;
    Answer answer;
    // Retry waits of the engine take no time: for servers that are retried.
    bool instantRetries;
    bool finishes;
};

// The first two transfers each deliver some bytes before their connection
// is reset; from then on the file is gone.
HttpReply Withdrawn(const HttpRequest& r, const std::string& package, int& transfers) {
    if (IsTransfer(r)) ++transfers;
    if (transfers > 2) return download_test::Status(404);
    HttpReply reply = download_test::ServeFile(r, package);
    if (IsTransfer(r)) reply.resetAfter = 64 * 1024;
    return reply;
}

const OutcomeCase kOutcomeCases[] = {
    {"NotFound", [](const HttpRequest&, const std::string&, int&) { return download_test::Status(404); }, false,
     false},
    {"Gone", [](const HttpRequest&, const std::string&, int&) { return download_test::Status(410); }, false, false},
    {"RedirectLoop", [](const HttpRequest& r, const std::string&, int&) { return download_test::RedirectLoop(r); },
     false, false},
    {"RedirectToFtp",
     [](const HttpRequest&, const std::string&, int&) {
         return download_test::Redirect(302, "ftp://127.0.0.1/update.zip");
     },
     false, false},
    {"WithdrawnHalfWay", Withdrawn, false, false},
    {"ServerKeepsFailing", [](const HttpRequest&, const std::string&, int&) { return download_test::Status(503); },
     true, false},
    // Passing faults of the server must not be taken for lasting ones.
    {"BusyTwiceThenServed",
     [](const HttpRequest& r, const std::string& package, int& n) {
         return n++ < 2 ? download_test::Status(503) : download_test::ServeFile(r, package);
     },
     true, true},
    {"ThrottledThenServed",
     [](const HttpRequest& r, const std::string& package, int& n) {
         return n++ < 1 ? download_test::RetryAfter(429, "1") : download_test::ServeFile(r, package);
     },
     true, true},
};

void PrintTo(const OutcomeCase& c, std::ostream* out) { *out << c.name; }

class JobOutcomeTest : public JobTest, public ::testing::WithParamInterface<OutcomeCase> {};

// Whatever stops the engine short of the file reaches the owner as one
// failure, and the worker ends instead of polling an engine that will
// never finish; the old package is gone all the same.
TEST_P(JobOutcomeTest, StoppedEngineFailsOnceAndTheWorkerEnds) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const std::string package = PackageBytes(6 * 1024 * 1024 + 5);
    WriteFile(Package(), "an older package");
    if (GetParam().instantRetries) hooks.sleep = [](uint32_t) {};
    StartJob([answer = GetParam().answer, package, state = 0](const HttpRequest& r) mutable {
        return answer(r, package, state);
    },
             Md5Hex(package));

    ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the job did not end";
    if (GetParam().finishes) {
        EXPECT_TRUE(job->finished);
        EXPECT_EQ(ReadFile(Package()), package);
        EXPECT_EQ(events->Failures(), 0u);
        return;
    }
    EXPECT_FALSE(job->finished);
    EXPECT_FALSE(fs::exists(Package()));
    // The worker reports before it ends; nothing of the job reports after.
    EXPECT_TRUE(events->WaitFor([](const auto& e) { return !e.empty(); }, 5000));
    EXPECT_EQ(events->Failures(), 1u);
    EXPECT_TRUE(events->Retries().empty()) << "the network never went away";
}

INSTANTIATE_TEST_SUITE_P(Server, JobOutcomeTest, ::testing::ValuesIn(kOutcomeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A folder in the package's place: the whole file arrives and its digest,
// taken while it arrived, matches, but it cannot become the package. One
// failure, no finished job, nothing registered.
TEST_F(JobTest, DownloadThatCannotBecomeThePackageFails) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const std::string package = PackageBytes(1024 * 1024 + 3);
    fs::create_directory(Package());
    WriteFile(Package() + "/inside", "keeps the folder from being removed");
    fs::copy_file(INSTALL_ZEB_APP, dir / "InstallZebApp.dll");
    StartJob([package](const HttpRequest& r) { return download_test::ServeFile(r, package); }, Md5Hex(package));

    ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the job did not end";
    EXPECT_FALSE(job->finished);
    EXPECT_FALSE(fs::exists(dir / "InstallZebApp.registered"));
    EXPECT_TRUE(events->WaitFor([](const auto& e) { return !e.empty(); }, 5000));
    EXPECT_EQ(events->Failures(), 1u);
}

// An https server whose certificate nothing vouches for is refused at the
// first answer, not retried for hours. Run in this machine's own network:
// nginx ends with the thread that started it, and a lab's threads end.
TEST_F(JobTest, UnverifiedHttpsServerFailsOnceAndTheWorkerEnds) {
    if (!platform::IsNetworkAlive()) GTEST_SKIP() << "this machine has no network, so the job would fail at its start";
    const std::string cert = dir / "cert.pem", key = dir / "key.pem";
    ASSERT_TRUE(download_test::MakeSelfSignedCertificate(cert, key));
    const std::string root = dir / "www";
    fs::create_directory(root);
    WriteFile(root + "/update.zip", PackageBytes(100000));
    auto nginx = std::make_unique<download_test::NginxServer>(root, download_test::NginxOptions{0, cert, key});

    StartJobAt(nginx->Url("/update.zip"), Md5Hex(PackageBytes(100000)));
    ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the job did not end";
    EXPECT_FALSE(job->finished);
    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_TRUE(events->WaitFor([](const auto& e) { return !e.empty(); }, 5000));
    EXPECT_EQ(events->Failures(), 1u);
    job.reset();
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

// A temporary file left by a run for one package, on a server that sends no
// validators: a run for another package of the same length (a new address
// and digest) starts from zero instead of resuming bytes of the first, and
// completes. (A run for the same package resumes: the offline test.)
TEST_F(JobTest, TemporaryFileOfAnotherPackageIsNotResumed) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const std::string first = PackageBytes(2 * 1024 * 1024);
    std::string second = first;
    std::reverse(second.begin(), second.end());
    ASSERT_NE(Md5Hex(first), Md5Hex(second));
    auto stall = std::make_shared<std::atomic<bool>>(true);
    StartServer([first, second, stall](const HttpRequest& r) {
        const bool isSecond = r.path.rfind("/second", 0) == 0;
        HttpReply reply = download_test::ServeFile(r, isSecond ? second : first);
        if (*stall && IsTransfer(r)) reply.stallAfter = static_cast<long>(reply.body.size() / 2);
        return reply;
    });

    StartJobAt(server->Url("/first.zip"), Md5Hex(first));
    ASSERT_TRUE(WaitForBytes(10000)) << "no bytes arrived";
    ASSERT_TRUE(tavlin_test::WaitUntil(
        [&] { return job->progress.downloadedBytes.load() >= static_cast<int64_t>(first.size() / 2 - 16); }, 30000));
    job.reset();
    ASSERT_TRUE(fs::exists(TmpFile()));
    *stall = false;

    const size_t mark = server->Requests().size();
    events = std::make_shared<EventLog>();
    StartJobAt(server->Url("/second.zip"), Md5Hex(second));
    ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the second package's run did not end";
    EXPECT_TRUE(job->finished);
    EXPECT_EQ(events->Failures(), 0u);
    EXPECT_TRUE(tavlin_test::ReadFileText(Package()) == second) << "the package holds bytes of another one";
    uint64_t fetched = 0;
    const auto requests = server->Requests();
    for (size_t i = mark; i < requests.size(); ++i) {
        uint64_t from = 0, to = 0;
        if (IsTransfer(requests[i]) && download_test::AskedRange(requests[i], second.size(), &from, &to))
            fetched += to - from + 1;
    }
    EXPECT_EQ(fetched, second.size()) << "the whole second package, fetched once";
    job.reset();
    EXPECT_FALSE(fs::exists(TmpFile() + ".package")) << "the mark outlived its file";
}

// What others left at the names the job keeps in the work folder.
class WorkFolderNamesTest : public JobTest {
protected:
    const std::vector<std::string> names = {"update.zip", "update.zip.dltmp", "update.zip.dltmp.package",
                                            "update.zip.dltmp.version"};

    // Runs a job for a small package; it must complete all the same.
    void ExpectJobCompletes() {
        const std::string package = PackageBytes(1024 * 1024 + 7);
        StartJob(
            [package](const HttpRequest& r) { return download_test::ServeVersion(r, package, "\"v1\"", ""); },
            Md5Hex(package));
        ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the job did not end";
        EXPECT_TRUE(job->finished);
        EXPECT_TRUE(ReadFile(Package()) == package);
        job.reset();
    }
};

// Links pointing at files elsewhere: nothing outside the folder is written
// or deleted through them.
TEST_F(WorkFolderNamesTest, LinksAreNotFollowed) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const std::string outside = dir / "outside";
    fs::create_directory(outside);
    const std::string kept = "a file of someone else's, not the job's";
    for (const std::string& name : names) {
        WriteFile(outside + "/" + name, kept);
        fs::create_symlink(outside + "/" + name, dir / name);
    }
    ExpectJobCompletes();
    for (const std::string& name : names) EXPECT_EQ(ReadFile(outside + "/" + name), kept) << name;
}

// Pipes no writer ever comes to: opening one to read would wait for a
// writer, and data written into one would wait for a reader.
TEST_F(WorkFolderNamesTest, PipesDoNotHoldTheJob) {
    SetUpLab(true);
    if (IsSkipped()) return;
    for (const std::string& name : names) ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0) << name;
    ExpectJobCompletes();
}
