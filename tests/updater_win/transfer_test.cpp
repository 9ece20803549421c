// The download engine's real transfers under Wine, against the nginx on
// 127.0.0.1 that with-nginx.sh starts (TAVLIN_TEST_NGINX_URL, _ROOT, _LOG);
// /slow/ there sends 8 MiB/s per connection.
#include <gtest/gtest.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/CurlDownload.h"
#include "download/DownloadVersion.h"
#include "win_test_support.h"

namespace {

using win_test::Exists;
using win_test::Pattern;
using win_test::ReadWhole;
using win_test::TempFolder;
using win_test::WriteWhole;

constexpr uint32_t kMiB = 1048576;

struct Access {
    std::string method, uri, range;
    int status = 0;
    long long bytes = 0;
};

class TransferTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(win_test::PrepareEngine("winTransfer")); }

    void SetUp() override {
        url_ = win_test::Env("TAVLIN_TEST_NGINX_URL");
        root_ = win_test::Env("TAVLIN_TEST_NGINX_ROOT");
        accessLog_ = win_test::Env("TAVLIN_TEST_NGINX_LOG");
        ASSERT_FALSE(url_.empty() || root_.empty() || accessLog_.empty())
            << "run through with-nginx.sh, which starts the server";
        ASSERT_TRUE(dir_.valid());
        static int serial = 0;
        name_ = "f" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial) + ".zip";
    }

    // Puts `data` on the server as `uri` ("/name" or "/slow/name").
    std::string Serve(const std::string& uri, const std::string& data) {
        std::string path = root_;
        for (char c : uri) path += c == '/' ? '\\' : c;
        EXPECT_TRUE(WriteWhole(path, data));
        return path;
    }

    // Polls until the engine rests, restarting it once when the file
    // changed, then finishes. True when the file stands at its target.
    bool RunToEnd(CurlDownloader& engine, bool* restarted = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        bool stopped = false;
        bool complete = engine.IsComplete(&stopped);
        for (;;) {
            while (!complete && !stopped && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                complete = engine.IsComplete(&stopped);
            }
            if (complete || !stopped || engine.EndReason() != DownloadEnd::Restart) break;
            if (restarted) *restarted = true;
            if (!engine.Restart()) break;
            complete = engine.IsComplete(&stopped);
        }
        if (!complete) {
            engine.Pause();
            engine.WaitAndFinish();
            return false;
        }
        return engine.WaitAndFinish();
    }

    std::vector<Access> AccessOf(const std::string& uri) const {
        std::vector<Access> lines;
        std::istringstream in(ReadWhole(accessLog_));
        std::string line;
        while (std::getline(in, line)) {
            Access access;
            std::istringstream fields(line);
            fields >> access.method >> access.uri;
            size_t open = line.find('"'), close = line.rfind('"');
            if (access.uri != uri || open == std::string::npos || close == open) continue;
            access.range = line.substr(open + 1, close - open - 1);
            if (access.range == "-") access.range.clear();
            std::istringstream rest(line.substr(close + 1));
            rest >> access.status >> access.bytes;
            lines.push_back(access);
        }
        return lines;
    }

    // The segment transfers: ranged GETs other than the range probe.
    std::vector<Access> SegmentsOf(const std::string& uri) const {
        std::vector<Access> out;
        for (const Access& a : AccessOf(uri))
            if (a.method == "GET" && !a.range.empty() && a.range != "bytes=1-1024") out.push_back(a);
        return out;
    }

    // The validator nginx gives the file now, as the engine would store it.
    FileVersion VersionOnServer(const std::string& uri) {
        std::string headers;
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, (url_ + uri).c_str());
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, AppendHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
        EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
        curl_easy_cleanup(curl);
        FileVersion version;
        std::istringstream lines(headers);
        std::string line;
        while (std::getline(lines, line)) NoteVersionHeader(version, line.data(), line.size());
        return version;
    }

    // The engine's real waits and network query would depend on the
    // machine: waits are counted and taken short, and the network is up.
    void Prepare(CurlDownloader& engine) {
        CurlDownloadHooks hooks;
        hooks.sleep = [this](uint32_t) {
            ++waits_;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        };
        hooks.networkAlive = [] { return true; };
        engine.SetHooks(std::move(hooks));
    }

    std::string Target() const { return dir_ / "更新.zip"; }

    std::atomic<int> waits_{0};
    std::string url_, root_, accessLog_, name_;
    TempFolder dir_;
};

// Whether another opener, sharing everything, is kept out of `path`.
bool KeptOut(const std::string& path) {
    HANDLE other = ::CreateFileW(win_test::Wide(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other != INVALID_HANDLE_VALUE) {
        ::CloseHandle(other);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

TEST_F(TransferTest, WholeFileOverFiveConnectionsIntoAChineseFolder) {
    const std::string data = Pattern(24 * kMiB, 3);
    const std::string uri = "/slow/" + name_;
    Serve(uri, data);
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(url_ + uri, Target(), nullptr));
    EXPECT_EQ(engine.FileSize.load(), data.size());
    // While it downloads, the temporary file is the engine's alone.
    EXPECT_TRUE(KeptOut(Target() + ".dltmp"));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(ReadWhole(Target()) == data);
    EXPECT_FALSE(Exists(Target() + ".dltmp"));
    EXPECT_FALSE(Exists(Target() + ".dltmp.version"));
    std::vector<std::string> ranges;
    for (const Access& a : SegmentsOf(uri)) {
        EXPECT_EQ(a.status, 206) << a.range;
        ranges.push_back(a.range);
    }
    std::sort(ranges.begin(), ranges.end());
    const uint32_t each = data.size() / 5;
    std::vector<std::string> expected;
    for (uint32_t i = 0; i < 5; ++i) {
        const uint32_t end = i == 4 ? data.size() - 1 : each * (i + 1) - 1;
        expected.push_back("bytes=" + std::to_string(each * i) + "-" + std::to_string(end));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ranges, expected);
}

TEST_F(TransferTest, ResumesFromALeftTemporaryFileFetchingOnlyWhatIsMissing) {
    const uint32_t part = 4 * kMiB, size = 3 * part;
    const std::string data = Pattern(size, 5);
    const std::string uri = "/" + name_;
    Serve(uri, data);
    // Segment 0 has 1000 bytes, segment 1 none, segment 2 all of its own.
    const uint32_t records[3][3] = {{0, part, 1000}, {part, part, 0}, {2 * part, part, part}};
    std::string tmp(size, '\0');
    tmp.replace(0, 1000, data, 0, 1000);
    tmp.replace(2 * part, part, data, 2 * part, part);
    for (const auto& r : records)
        for (uint32_t v : r)
            for (int b = 0; b < 4; ++b) tmp += static_cast<char>(v >> (8 * b));
    for (int b = 0; b < 4; ++b) tmp += static_cast<char>(size >> (8 * b));
    ASSERT_TRUE(WriteWhole(Target() + ".dltmp", tmp));
    const FileVersion version = VersionOnServer(uri);
    ASSERT_FALSE(version.etag.empty());
    ASSERT_TRUE(SaveVersionFile(VersionFileOf(Target() + ".dltmp"), version));

    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(url_ + uri, Target(), nullptr));
    EXPECT_EQ(engine.downloadedSize.load(), 1000u + part);
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(ReadWhole(Target()) == data);
    EXPECT_FALSE(Exists(Target() + ".dltmp"));
    std::vector<std::string> ranges;
    for (const Access& a : SegmentsOf(uri)) ranges.push_back(a.range);
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=1000-4194303", "bytes=4194304-8388607"}));
}

TEST_F(TransferTest, MissingFileFailsAtOnceWithoutRetries) {
    const std::string uri = "/" + name_;
    CurlDownloader engine;
    Prepare(engine);
    EXPECT_FALSE(engine.Start(url_ + uri, Target(), nullptr));
    EXPECT_EQ(engine.EndReason(), DownloadEnd::Refused);
    EXPECT_EQ(waits_, 0);
    // Asked once: a 404 is not retried.
    const std::vector<Access> seen = AccessOf(uri);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].status, 404);
    EXPECT_FALSE(Exists(Target()));
    EXPECT_FALSE(Exists(Target() + ".dltmp"));
}

// The file is replaced on the server while its pieces are fetched: the
// pieces asked for after that carry the old validator in If-Range, nginx
// answers them with the whole new file, and the engine starts over and ends
// with the new file, never a mix of both.
TEST_F(TransferTest, FileReplacedDuringTheTransferRestartsThroughIfRange) {
    const uint32_t size = 64 * kMiB;
    const std::string old = Pattern(size, 7), fresh = Pattern(size, 8);
    const std::string uri = "/slow/" + name_;
    const std::string path = Serve(uri, old);
    CurlDownloader engine;
    Prepare(engine);
    ASSERT_TRUE(engine.Start(url_ + uri, Target(), nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (engine.downloadedSize.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GT(engine.downloadedSize.load(), 0u);
    ASSERT_LT(engine.downloadedSize.load(), size / 4);
    // Replaced as a publisher would: a new file with a later time renamed
    // over the old one, which the running answers go on sending.
    ASSERT_TRUE(WriteWhole(path + ".new", fresh));
    HANDLE file = ::CreateFileW(win_test::Wide(path + ".new").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER later{{now.dwLowDateTime, now.dwHighDateTime}};
    later.QuadPart += 1000ull * 10000000ull;
    const FILETIME when{later.LowPart, later.HighPart};
    EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &when));
    ::CloseHandle(file);
    ASSERT_TRUE(::MoveFileExW(win_test::Wide(path + ".new").c_str(), win_test::Wide(path).c_str(),
                              MOVEFILE_REPLACE_EXISTING));

    bool restarted = false;
    ASSERT_TRUE(RunToEnd(engine, &restarted));
    EXPECT_TRUE(restarted);
    EXPECT_TRUE(ReadWhole(Target()) == fresh);
    // A ranged request sent If-Range with the old validator and got the
    // whole new file instead of its range.
    bool refusedRange = false;
    for (const Access& a : SegmentsOf(uri)) refusedRange = refusedRange || a.status == 200;
    EXPECT_TRUE(refusedRange);
}

}  // namespace
