#include "job_fixture.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "download/DownloadDigest.h"
#include "platform/network.h"

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
    InLab([&] {
        server = std::make_shared<download_test::FaultServer>(std::move(script));
        job = std::make_unique<TestJob>(server->Url("/update.zip"), md5);
        job->workDir = Folder();
        job->onRetry = [log = events, s = server, onRetry](uint32_t n) {
            log->Add({Event::Retry, n, CurrentThreadId(), s->Requests().size()});
            if (onRetry) onRetry(n);
        };
        job->onFailure = [log = events, s = server, onFailure] {
            log->Add({Event::Failure, 0, CurrentThreadId(), s->Requests().size()});
            if (onFailure) onFailure();
        };
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
