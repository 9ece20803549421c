#include "job_fixture.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "download/DownloadDigest.h"
#include "platform/network.h"
#include "child_process.h"

#include <openssl/evp.h>

namespace job_test {

void EventLog::Add(Event e) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(e);
    }
    cv_.notify_all();
}

std::vector<Event> EventLog::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

bool EventLog::WaitFor(const std::function<bool(const std::vector<Event>&)>& done, int ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(events_); });
}

std::vector<uint32_t> EventLog::Retries() const {
    std::vector<uint32_t> counts;
    for (const Event& e : Events())
        if (e.kind == Event::Retry) counts.push_back(e.count);
    return counts;
}

size_t EventLog::Failures() const {
    size_t n = 0;
    for (const Event& e : Events()) n += e.kind == Event::Failure;
    return n;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::gettid()); }


std::vector<std::string> MissingRanges(const std::vector<TmpSegment>& segments) {
    std::vector<std::string> ranges;
    for (const TmpSegment& s : segments)
        if (s.done < s.length)
            ranges.push_back("bytes=" + std::to_string(s.start + s.done) + "-" + std::to_string(s.start + s.length - 1));
    return ranges;
}

bool IsTransfer(const download_test::HttpRequest& request) {
    if (request.method != "GET") return false;
    uint64_t first = 0, last = 0;
    // Against an endless file, so an open range counts as large.
    if (!download_test::AskedRange(request, UINT64_MAX, &first, &last)) return false;
    return last - first + 1 > 1024;
}

std::string PackageBytes(size_t size) {
    std::string data(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return data;
}

std::string Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

void JobTest::SetUpLab(bool withLink) {
    std::string why;
    lab = withLink ? NetLab::CreateWithLink(&why) : NetLab::Create(&why);
    if (lab) return;
    // Tests that need a working network can still run in this machine's own.
    if (withLink && platform::IsNetworkAlive()) return;
    GTEST_SKIP() << why;
}

void JobTest::TearDown() {
    job.reset();
    server.reset();
}

void JobTest::InLab(const std::function<void()>& fn) const {
    if (lab)
        lab->Run(fn);
    else
        fn();
}

void JobTest::StartJob(download_test::FaultServer::Script script, const std::string& md5,
                       std::function<void(uint32_t)> onRetry, std::function<void()> onFailure) {
    StartServer(std::move(script));
    StartJobAt(server->Url("/update.zip"), md5, std::move(onRetry), std::move(onFailure));
}

void JobTest::StartServer(download_test::FaultServer::Script script) {
    InLab([&] { server = std::make_shared<download_test::FaultServer>(std::move(script)); });
}

void JobTest::StartJobAt(const std::string& url, const std::string& md5, std::function<void(uint32_t)> onRetry,
                         std::function<void()> onFailure) {
    job.reset();
    InLab([&] {
        auto requests = [s = server] { return s ? s->Requests().size() : 0; };
        job = std::make_unique<TestJob>(url, md5);
        job->workDir = Folder();
        job->engineHooks = hooks;
        job->onRetry = [log = events, requests, onRetry](uint32_t n) {
            log->Add({Event::Retry, n, CurrentThreadId(), requests()});
            if (onRetry) onRetry(n);
        };
        job->onFailure = [log = events, requests, onFailure] {
            log->Add({Event::Failure, 0, CurrentThreadId(), requests()});
            if (onFailure) onFailure();
        };
        if (prepareJob) prepareJob(*job);
        job->Start();
    });
}

bool JobTest::WaitForBytes(int ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (job->progress.downloadedBytes.load() == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace job_test
