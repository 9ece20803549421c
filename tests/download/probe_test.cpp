// The length probe's answers (redirects, missing lengths, refusals), the
// pause-aware wait, and https with a verified server certificate.
#include <gtest/gtest.h>

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

TEST_F(ProbeTest, LengthProbeAnswers) {
    const std::string data = Pattern(600);
    struct Case {
        const char* name;
        std::function<HttpReply(const HttpRequest&)> script;
        bool started;
        std::vector<uint32_t> delays;
        std::string logged;  // a message of the length probe
    };
    auto firstThen = [&](HttpReply first) {
        return [&data, first](const HttpRequest& r) { return r.index == 0 ? first : ServeFile(r, data); };
    };
    HttpReply noLength = ServeFile({}, data);
    noLength.contentLength = false;
    HttpReply huge;
    huge.headers = {"Content-Length: 4294967296"};
    huge.contentLength = false;
    const Case cases[] = {
        {"404 ends at once", [](const HttpRequest&) { return download_test::Status(404); }, false, {}, ""},
        {"302 without a target is a failed attempt", firstThen(Redirect(302, "")), true, {2000},
         "重定向应答(HttpCode: 302)没有目标地址"},
        {"307 is not followed", firstThen(Redirect(307, "/f.zip")), true, {2000}, "lastHttpCode:307, CURLcode:0"},
        {"200 without a length is retried after 2 s", firstThen(noLength), true, {2000},
         "获取文件长度失败, lastHttpCode:200, CURLcode:0, 尝试第1次重试"},
        {"206 still gives the length",
         firstThen(ServeFile({0, "GET", "", "bytes=0-599"}, data)), true, {}, "HttpCode: 206"},
        {"redirect to file:// is refused", [](const HttpRequest&) { return Redirect(302, "file:///etc/passwd"); },
         false, {}, "拒绝重定向到http和https以外的地址: file:///etc/passwd"},
        {"4 GiB is refused", [&](const HttpRequest&) { return huge; }, false, {}, "文件长度4294967296字节超出上限"},
        {"redirects are bounded",
         [&](const HttpRequest& r) { return r.index <= 10 ? Redirect(302, "/loop") : ServeFile(r, data); }, true,
         {2000}, "重定向超过10次"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(c.script);
        std::string target = dir / (std::string("t") + std::to_string(&c - cases));
        size_t before = Delays().size();
        CurlDownloader engine;
        Prepare(engine);
        EXPECT_EQ(engine.Start(server.Url("/f.zip"), target, nullptr), c.started);
        if (c.started) {
            EXPECT_TRUE(RunToEnd(engine));
            EXPECT_TRUE(tavlin_test::ReadFileText(target) == data);
        } else {
            EXPECT_FALSE(tavlin_test::FileExists(target + ".dltmp"));
            bool stopped = false;
            EXPECT_FALSE(engine.IsComplete(&stopped));
            EXPECT_TRUE(stopped);
        }
        auto delays = Delays();
        EXPECT_EQ(std::vector<uint32_t>(delays.begin() + before, delays.end()), c.delays);
        if (!c.logged.empty()) {
            EXPECT_GE(CountContaining(Messages(kCheckFileLength), c.logged), 1u);
        }
    }
}

TEST_F(ProbeTest, OnlyHttpAndHttpsAddressesAreAsked) {
    std::string secret = dir / "secret";
    ASSERT_TRUE(tavlin_test::WriteFileText(secret, "not for download"));
    for (const std::string& url : {"file://" + secret, std::string("ftp://127.0.0.1/f.zip"), std::string("")}) {
        SCOPED_TRACE(url);
        CurlDownloader engine;
        Prepare(engine);
        EXPECT_FALSE(engine.Start(url, Target(), nullptr));
        EXPECT_FALSE(tavlin_test::FileExists(Target()));
        EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
    }
    EXPECT_TRUE(Delays().empty());
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

    // Not trusted: the first failure ends the probe (the retry wait pauses).
    {
        CurlDownloader engine;
        CurlDownloadHooks hooks;
        hooks.sleep = [&](uint32_t) { engine.Pause(); };
        hooks.networkAlive = [] { return true; };
        engine.SetHooks(hooks);
        EXPECT_FALSE(engine.Start(url, Target(), nullptr));
        EXPECT_FALSE(tavlin_test::FileExists(Target() + ".dltmp"));
        EXPECT_GE(CountContaining(Messages(kCheckFileLength), "获取文件长度失败, CURLcode=60"), 1u);
    }
    // Trusted through its CA: downloads.
    CurlDownloader engine;
    CurlDownloadHooks hooks;
    hooks.caFile = cert;
    engine.SetHooks(hooks);
    ASSERT_TRUE(engine.Start(url, Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(tavlin_test::ReadFileText(Target()) == data);
}

}  // namespace
