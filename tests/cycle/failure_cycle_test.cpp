// A package whose digest does not match, and servers that refuse the
// package for good: the updater shows the failure prompt (within a few
// seconds of a refusal) and ends once the prompt is answered; confirming
// opens the download page.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "cycle_fixture.h"
#include "fault_server.h"
#include "nginx_server.h"
#include "platform/network.h"

namespace cycle_test {
namespace {

class DigestMismatchTest : public CycleTest {};

TEST_F(DigestMismatchTest, FailurePromptEndsTheUpdater) {
    struct Case {
        const char* key;
        bool pageOpened;
    };
    const Case cases[] = {{"Return", true}, {"Escape", false}};
    MakePackage(Www("update.zip"), VersionFiles("2.0"));
    download_test::NginxServer nginx(Www(""));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const size_t pagesBefore = OpenedPages().size();
        // The digest of other bytes, in capitals: a mismatch, not a case slip.
        ChildProcess updater = StartUpdater(
            {"-url=" + nginx.Url("/update.zip"), "-md5=0123456789ABCDEF0123456789ABCDEF", "-newver=2.0"});

        const std::string prompt = WaitForClass(kPromptClass);
        ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
        EXPECT_EQ(WindowName(prompt), "vostrapanel提示");
        KeepShot(Capture(prompt), std::string("mismatch-") + c.key);
        EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip"))) << "a package that failed its digest was kept";
        EXPECT_TRUE(Registrations().empty());
        EXPECT_TRUE(updater.Alive()) << "the updater ended before the prompt was answered";

        ASSERT_TRUE(PressKey(prompt, c.key));
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end after the prompt";
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
        if (c.pageOpened) {
            ASSERT_TRUE(tavlin_test::WaitUntil([&] { return OpenedPages().size() > pagesBefore; }, 10000));
            EXPECT_EQ(OpenedPages().back(), TAVLIN_DOWNLOAD_PAGE);
        } else {
            EXPECT_EQ(OpenedPages().size(), pagesBefore);
        }
        EXPECT_TRUE(Registrations().empty());
        EXPECT_TRUE(ClientCalls("args").empty());
    }
}

// Forced mode without the notice (forcedupdate 2): the client is stopped
// for the download, but a package that fails its digest is neither
// installed nor followed by a start of the launcher.
TEST_F(DigestMismatchTest, ForcedUpdateInstallsNothing) {
    MakePackage(Www("update.zip"), VersionFiles("3.0"));
    download_test::NginxServer nginx(Www(""));
    ChildProcess client = StartClient();
    ASSERT_FALSE(HasFailure());
    ChildProcess updater = StartUpdater({"-url=" + nginx.Url("/update.zip"),
                                         "-md5=0123456789abcdef0123456789abcdef", "-forcedupdate=2",
                                         "-pagecallparam=/room?id=7"});

    const std::string prompt = WaitForClass(kPromptClass);
    ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
    EXPECT_TRUE(client.Wait(kProcessTimeoutMs)) << "the forced job did not stop the client";
    ASSERT_TRUE(PressKey(prompt, "Escape"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();

    // A launcher the updater had started would be running from the
    // installation now (its start waits for the program to be executed),
    // or the client it started would.
    EXPECT_TRUE(tavlin_test::ProcessesBelow(install_).empty());
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "1.0");
    EXPECT_FALSE(tavlin_test::FileExists(Installed("plugins/chat/chat-3.0.txt")));
    EXPECT_TRUE(WindowsOfClass(kFinishedClass).empty());
    EXPECT_TRUE(Registrations().empty());
    EXPECT_EQ(ClientCalls("args").size(), 1u) << "a client was started after a failed update";
}

using download_test::HttpReply;
using download_test::HttpRequest;
using Clock = std::chrono::steady_clock;

// What the issue allows between a server's refusal and the prompt.
constexpr auto kPromptBound = std::chrono::seconds(5);
constexpr size_t kRefusedPackageBytes = 6u * 1048576;

struct Refusal {
    const char* name;
    // The server's answer; `transfers` counts the requests for parts of
    // the package so far and starts at 0. Null: an https server whose
    // certificate nothing vouches for.
    HttpReply (*answer)(const HttpRequest& r, const std::string& package, int& transfers);
};

const Refusal kRefusals[] = {
    {"NotFound", [](const HttpRequest&, const std::string&, int&) { return download_test::Status(404); }},
    {"Forbidden", [](const HttpRequest&, const std::string&, int&) { return download_test::Status(403); }},
    {"Gone", [](const HttpRequest&, const std::string&, int&) { return download_test::Status(410); }},
    {"RedirectLoop", [](const HttpRequest& r, const std::string&, int&) { return download_test::RedirectLoop(r); }},
    {"RedirectToFtp",
     [](const HttpRequest&, const std::string&, int&) {
         return download_test::Redirect(302, "ftp://127.0.0.1/update.zip");
     }},
    // Two transfers get some bytes before their connections drop; then
    // the package is gone.
    {"WithdrawnHalfWay",
     [](const HttpRequest& r, const std::string& package, int& transfers) {
         if (IsTransfer(r)) ++transfers;
         if (transfers > 2) return download_test::Status(404);
         HttpReply reply = download_test::ServeFile(r, package);
         if (IsTransfer(r)) reply.resetAfter = 64 * 1024;
         return reply;
     }},
    {"UnverifiedHttps", nullptr},
};

class RefusedDownloadCycleTest : public CycleTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedDownloadCycleTest, FailurePromptWithinFiveSecondsThenTheUpdaterEnds) {
    // Without a network the prompt would come at once for another reason.
    if (!platform::IsNetworkAlive()) GTEST_SKIP() << "this machine has no network, so every run starts with a failure";
    const std::string package = download_test::Pattern(kRefusedPackageBytes);
    ASSERT_TRUE(tavlin_test::WriteFileText(Www("update.zip"), package));

    // When the server refused; for https, when the updater started (the
    // handshake is its first exchange).
    std::mutex mutex;
    std::optional<Clock::time_point> refusedAt;
    std::unique_ptr<download_test::FaultServer> server;
    std::unique_ptr<download_test::NginxServer> nginx;
    std::string url;
    if (GetParam().answer) {
        server = std::make_unique<download_test::FaultServer>(
            [&, answer = GetParam().answer, transfers = 0](const HttpRequest& r) mutable {
                HttpReply reply = answer(r, package, transfers);
                std::lock_guard<std::mutex> lock(mutex);
                if (reply.status >= 300 && !refusedAt) refusedAt = Clock::now();
                return reply;
            });
        url = server->Url("/update.zip");
    } else {
        const std::string cert = tmp_ / "cert.pem", key = tmp_ / "key.pem";
        ASSERT_TRUE(download_test::MakeSelfSignedCertificate(cert, key));
        nginx = std::make_unique<download_test::NginxServer>(Www(""), download_test::NginxOptions{0, cert, key});
        url = nginx->Url("/update.zip");
        refusedAt = Clock::now();
    }

    ChildProcess updater = StartUpdater({"-url=" + url, "-md5=" + Md5Hex(Www("update.zip")), "-newver=2.0"});
    const std::string prompt = WaitForClass(kPromptClass);
    const Clock::time_point shown = Clock::now();
    ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_TRUE(refusedAt.has_value()) << "a prompt before the server refused anything";
        EXPECT_LE(shown - *refusedAt, kPromptBound)
            << std::chrono::duration_cast<std::chrono::milliseconds>(shown - *refusedAt).count()
            << " ms from the refusal to the prompt";
    }
    EXPECT_TRUE(updater.Alive()) << "the updater ended before the prompt was answered";

    ASSERT_TRUE(PressKey(prompt, "Escape"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end after the prompt";
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip")));
    EXPECT_TRUE(Registrations().empty());
}

INSTANTIATE_TEST_SUITE_P(Server, RefusedDownloadCycleTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cycle_test
