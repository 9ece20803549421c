// The length probe's answers (redirects, missing lengths, refusals), the
// pause-aware wait, and https with a verified server certificate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"
#include "nginx_server.h"

namespace {

using download_test::CountContaining;
using download_test::EngineTest;
using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;
using download_test::Pattern;
using download_test::Redirect;
using download_test::ServeFile;

const char* const kCheckFileLength = "CurlDownloader::CheckFileLength";

class ProbeTest : public EngineTest {};

// 600 bytes under the Content-Length lines given.
HttpReply TwoLengths(std::vector<std::string> lines) {
    HttpReply reply;
    reply.body = Pattern(600);
    reply.headers = std::move(lines);
    reply.contentLength = false;
    return reply;
}

// Answers after which asking again cannot help: the probe ends with the
// first of them, without a wait, and nothing is created.
TEST_F(ProbeTest, PermanentAnswersToTheLengthProbeEndAtOnce) {
    const std::string data = Pattern(600);
    HttpReply huge;
    huge.headers = {"Content-Length: 4294967296"};
    huge.contentLength = false;
    struct Case {
        const char* name;
        std::function<HttpReply(const HttpRequest&)> script;
        size_t requests;
        std::string logged;  // a message of the length probe, if any
    };
    auto status = [](int code) { return [code](const HttpRequest&) { return download_test::Status(code); }; };
    const Case cases[] = {
        {"400", status(400), 1, ""},
        {"401", status(401), 1, ""},
        {"403", status(403), 1, ""},
        {"404", status(404), 1, ""},
        {"405", status(405), 1, ""},
        {"410", status(410), 1, ""},
        {"451", status(451), 1, ""},
        {"redirect to file://", [](const HttpRequest&) { return Redirect(302, "file:///etc/passwd"); }, 1,
         "拒绝重定向到http和https以外的地址: file:///etc/passwd"},
        {"redirect to ftp://", [](const HttpRequest&) { return Redirect(301, "ftp://127.0.0.1/f.zip"); }, 1,
         "拒绝重定向到http和https以外的地址: ftp://127.0.0.1/f.zip"},
        {"redirect to port 0", [](const HttpRequest&) { return Redirect(302, "http://127.0.0.1:0/f.zip"); }, 1,
         "拒绝重定向到http和https以外的地址: http://127.0.0.1:0/f.zip"},
        // Ten redirects are followed; the eleventh ends the probe.
        {"redirect loop", [](const HttpRequest& r) { return download_test::RedirectLoop(r); }, 11, "重定向超过10次"},
        {"4 GiB", [&](const HttpRequest&) { return huge; }, 1, "文件长度4294967296字节超出上限"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(c.script);
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        CurlDownloader engine;
        Prepare(engine);
        EXPECT_FALSE(engine.Start(server.Url("/f.zip"), target, nullptr));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_EQ(server.Requests().size(), c.requests);
        EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
        bool stopped = false;
        EXPECT_FALSE(engine.IsComplete(&stopped));
        EXPECT_TRUE(stopped);
        if (!c.logged.empty()) {
            EXPECT_EQ(CountContaining(Messages(kCheckFileLength), c.logged), 1u);
        }
    }
    EXPECT_TRUE(Delays().empty());
}

// Answers that lead to the file: at once, or after one wait (2 s before a
// probe's first retry, or what Retry-After asks, up to 60 s).
TEST_F(ProbeTest, LengthProbeAnswersThatLeadToTheFile) {
    const std::string data = Pattern(600);
    struct Case {
        const char* name;
        HttpReply first;
        std::vector<uint32_t> delays;
        std::string logged;  // a message of the length probe, if any
        std::string range = "";  // the range probe answered so; "": the length probe
    };
    HttpReply reset;
    reset.reset = true;
    HttpReply silent;
    silent.silent = true;
    HttpReply noLength = ServeFile({}, data);
    noLength.contentLength = false;
    // A redirect whose page comes a little after its header, on a
    // connection the server keeps: the next hop must not read that page.
    HttpReply latePage = Redirect(302, "/f.zip");
    latePage.body = "<html>moved</html>";
    latePage.keepAlive = true;
    latePage.bodyDelayMs = 200;
    const Case cases[] = {
        {"206 still gives the length", ServeFile(download_test::RangeRequest("bytes=0-599"), data), {},
         "HttpCode: 206"},
        {"301 is followed", Redirect(301, "/f.zip"), {}, "遇到重定向"},
        // A redirect without a target, and answers without a length, give
        // no length: asked again, as a failed attempt.
        {"303 is followed", Redirect(303, "/f.zip"), {}, "遇到重定向"},
        {"307 is followed", Redirect(307, "/f.zip"), {}, "遇到重定向"},
        {"308 is followed", Redirect(308, "/f.zip"), {}, "遇到重定向"},
        {"302 whose page comes late on a kept connection", latePage, {}, "遇到重定向"},
        {"302 without a target", Redirect(302, ""), {2000}, "重定向应答(HttpCode: 302)没有目标地址"},
        {"200 without a length", noLength, {2000}, "获取文件长度失败, lastHttpCode:200, CURLcode:0, 尝试第1次重试"},
        {"500", download_test::Status(500), {2000}, "获取文件长度失败, lastHttpCode:500, CURLcode:0, 尝试第1次重试"},
        {"502", download_test::Status(502), {2000}, ""},
        {"503", download_test::Status(503), {2000}, ""},
        {"408", download_test::Status(408), {2000}, ""},
        {"429", download_test::Status(429), {2000}, ""},
        {"429 with Retry-After: 7", download_test::RetryAfter(429, "7"), {7000}, ""},
        {"503 with Retry-After: 3600", download_test::RetryAfter(503, "3600"), {60000}, ""},
        {"connection reset", reset, {2000}, ""},
        {"silent until the stall limit", silent, {2000}, ""},
        // The range test is one of the engine's requests like any other.
        {"range test: 429 with Retry-After: 7", download_test::RetryAfter(429, "7"), {7000}, "", "bytes=1-300"},
        {"range test: 503", download_test::Status(503), {2000}, "", "bytes=1-300"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> answered{false};
        FaultServer server([&](const HttpRequest& r) {
            bool first = c.range.empty() ? r.index == 0 : r.range == c.range && !answered.exchange(true);
            return first ? c.first : ServeFile(r, data);
        });
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        size_t before = Delays().size();
        CurlDownloader engine;
        Prepare(engine, 1);
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), target, nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        auto delays = Delays();
        EXPECT_EQ(std::vector<uint32_t>(delays.begin() + static_cast<long>(before), delays.end()), c.delays);
        if (!c.logged.empty()) {
            EXPECT_GE(CountContaining(Messages(kCheckFileLength), c.logged), 1u);
        }
    }
}

// A server that never answers usefully costs a bounded number of attempts
// with doubling waits (capped at 60 s), then the download gives up.
TEST_F(ProbeTest, LengthProbeGivesUpAfterTenRetries) {
    const std::vector<uint32_t> doubling = {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000, 60000};
    ASSERT_EQ(doubling.size(), static_cast<size_t>(CurlDownloadConfig.unproductiveLimit));
    struct Case {
        const char* name;
        HttpReply answer;
        bool refusing;  // nothing listens at the address
        std::vector<uint32_t> delays;
    };
    const Case cases[] = {
        {"503 every time", download_test::Status(503), false, doubling},
        {"503 with Retry-After: 5 every time", download_test::RetryAfter(503, "5"), false,
         std::vector<uint32_t>(doubling.size(), 5000)},
        {"connection refused", {}, true, doubling},
        // Lengths that disagree name no length: libcurl would read only as
        // far as one of them, and take that for the whole file.
        {"two Content-Lengths every time", TwoLengths({"Content-Length: 600", "Content-Length: 300"}), false,
         doubling},
        {"a second Content-Length with '+'", TwoLengths({"Content-Length: 600", "Content-Length: +300"}), false,
         doubling},
        {"a list of two lengths", TwoLengths({"Content-Length: 300, 600"}), false, doubling},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server([&](const HttpRequest&) { return c.answer; });
        std::string url = c.refusing ? download_test::RefusingUrl("/f.zip") : server.Url("/f.zip");
        size_t before = Delays().size();
        CurlDownloader engine;
        Prepare(engine);
        EXPECT_FALSE(engine.Start(url, Target(), nullptr));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::GaveUp);
        auto delays = Delays();
        EXPECT_EQ(std::vector<uint32_t>(delays.begin() + static_cast<long>(before), delays.end()), c.delays);
        if (!c.refusing) {
            EXPECT_EQ(server.Requests().size(), c.delays.size() + 1);
        }
        EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
    }
}

// What cannot be asked is refused without a retry: other schemes and
// addresses that do not parse.
TEST_F(ProbeTest, AddressesThatCannotBeAskedAreRefusedAtOnce) {
    std::string secret = dir / "secret";
    ASSERT_TRUE(tavlin_test::WriteFileText(secret, "not for download"));
    const std::string urls[] = {"file://" + secret,        "ftp://127.0.0.1/f.zip", "gopher://127.0.0.1/f.zip",
                                "",                        "http:///f.zip",         "http://exa mple.com/f.zip",
                                "http://127.0.0.1:99999/", "http://[::1/f.zip",
                                "http://127.0.0.1:0/f.zip", "https://127.0.0.1:00/f.zip"};
    for (const auto& url : urls) {
        SCOPED_TRACE(url);
        CurlDownloader engine;
        Prepare(engine);
        EXPECT_FALSE(engine.Start(url, Target(), nullptr));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_FALSE(tavlin_test::FileExists(Target()));
        EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
    }
    EXPECT_TRUE(Delays().empty());
}

// A pause asked before Start is cleared by it; a cancel holds for every
// later Start of the engine.
TEST_F(ProbeTest, CancelHoldsForGoodWhileAPauseEndsAtTheNextStart) {
    const std::string data = Pattern(600);
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
    {
        CurlDownloader engine;
        Prepare(engine);
        engine.RequestPause();
        ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
        ASSERT_TRUE(RunToEnd(engine));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Running);
        EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    }
    size_t asked = server.Requests().size();
    std::string target = dir / "cancelled.zip";
    CurlDownloader engine;
    Prepare(engine);
    engine.Cancel();
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(engine.Start(server.Url("/f.zip"), target, nullptr)) << i;
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Cancelled) << i;
    }
    EXPECT_EQ(server.Requests().size(), asked);
    EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
}

TEST_F(ProbeTest, RedirectTargetIsWhatTheSegmentsAsk) {
    const std::string data = Pattern(3 * 4194304);
    FaultServer server([&](const HttpRequest& r) {
        if (r.path == "/f.zip") return Redirect(302, "/mirror/f.zip");
        return ServeFile(r, data);
    });
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
    auto requests = server.Requests();
    ASSERT_GT(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/f.zip");
    for (size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i].path, "/mirror/f.zip") << i;
    EXPECT_EQ(CountContaining(Messages(kCheckFileLength), "遇到重定向，RedirectUrl: " + server.Url("/mirror/f.zip")),
              1u);
}

TEST_F(ProbeTest, StopRequestEndsAProbeOnASilentServer) {
    FaultServer server([](const HttpRequest&) {
        HttpReply reply;
        reply.silent = true;
        return reply;
    });
    CurlDownloader engine;
    Prepare(engine);
    std::atomic<int> result{-1};
    std::thread worker([&] { result = engine.Start(server.Url("/f.zip"), Target(), nullptr) ? 1 : 0; });
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return server.Requests().size() == 1; }, 60000));
    engine.RequestPause();
    bool ended = tavlin_test::WaitUntil([&] { return result >= 0; }, 20000);
    if (!ended) std::abort();  // a probe that ignores the stop would hang here for ever
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
    EXPECT_EQ(CountContaining(Messages(kCheckFileLength), "遭到暂停"), 1u);
}

TEST_F(ProbeTest, SleepWaitsInStepsAndEndsEarlyOnPause) {
    using Clock = std::chrono::steady_clock;
    CurlDownloader engine;
    auto begin = Clock::now();
    engine.SleepEx(0);
    engine.SleepEx(250);
    auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    EXPECT_GE(slept, 300);  // rounded up to whole 100 ms steps

    std::thread pauser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        engine.Pause();
    });
    begin = Clock::now();
    engine.SleepEx(4000);
    slept = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    pauser.join();
    EXPECT_LT(slept, 4000);
    EXPECT_EQ(CountContaining(Messages("CurlDownloader::SleepEx"), "遭到暂停"), 1u);
}

TEST_F(ProbeTest, HttpsServerMustBeVerified) {
    std::string cert = dir / "cert.pem", key = dir / "key.pem";
    ASSERT_TRUE(download_test::MakeSelfSignedCertificate(cert, key));
    std::string root = dir / "www";
    ASSERT_TRUE(std::filesystem::create_directory(root));
    const std::string data = Pattern(600);
    ASSERT_TRUE(tavlin_test::WriteFileText(root + "/f.zip", data));
    download_test::NginxServer nginx(root, {0, cert, key});
    // The scheme's case does not matter.
    std::string url = "HTTPS" + nginx.Url("/f.zip").substr(5);

    // A certificate nobody vouches for, or one for another host name, is
    // refused at its first answer: no wait, no retry.
    struct Case {
        const char* name;
        std::string url;
        std::string caFile;
    };
    const Case cases[] = {
        {"not trusted", url, ""},
        {"another host name", "https://localhost" + url.substr(url.find(':', 6)), cert},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CurlDownloader engine;
        CurlDownloadHooks hooks = Hooks();
        hooks.caFile = c.caFile;
        engine.SetHooks(hooks);
        EXPECT_FALSE(engine.Start(c.url, Target(), nullptr));
        EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
        EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
    }
    EXPECT_TRUE(Delays().empty());
    EXPECT_TRUE(nginx.Access().empty());
    EXPECT_EQ(CountContaining(Messages(kCheckFileLength), "获取文件长度失败, CURLcode=60"), 2u);

    // Trusted through its CA: downloads.
    CurlDownloader engine;
    CurlDownloadHooks hooks = Hooks();
    hooks.caFile = cert;
    engine.SetHooks(hooks);
    ASSERT_TRUE(engine.Start(url, Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
}

}  // namespace
