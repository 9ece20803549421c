// What the job's tests share: a job without an installation step, a record
// of its callbacks, a served package and a private work folder, all inside
// a network namespace of the test's own when the machine allows one.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/zipDownloader.h"
#include "engine_fixture.h"
#include "fault_server.h"
#include "net_lab.h"
#include "temp_dir.h"

namespace job_test {

class TestJob : public Downloader {
public:
    TestJob(std::string url, std::string md5) : Downloader(std::move(url), std::move(md5), false) {}
    ~TestJob() override { Release(); }
    void DoInstall() override {}
};

// One callback as the job made it.
struct Event {
    enum Kind { Retry, Failure } kind;
    uint32_t count = 0;      // Retry: the count passed
    uint32_t thread = 0;     // kernel id of the calling thread
    size_t requests = 0;     // requests the server had seen at that moment
};

class EventLog {
public:
    void Add(Event e);
    std::vector<Event> Events() const;
    // Waits (at most ms) until `done` holds for the events so far.
    bool WaitFor(const std::function<bool(const std::vector<Event>&)>& done, int ms) const;
    std::vector<uint32_t> Retries() const;
    size_t Failures() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Event> events_;
};

uint32_t CurrentThreadId();

// The segment records of a temporary file ("<package>.dltmp"; see ReadRecords).
using TmpSegment = download_test::Record;
inline std::vector<TmpSegment> ReadTmpSegments(const std::string& path) { return download_test::ReadRecords(path); }
using download_test::DoneBytes;
// "bytes=A-B" of the part of every unfinished segment that is still missing.
std::vector<std::string> MissingRanges(const std::vector<TmpSegment>& segments);

// A GET that fetches part of the file rather than probing the server: a
// range of more than 1 KiB.
bool IsTransfer(const download_test::HttpRequest& request);

// A package of `size` bytes of varied content.
std::string PackageBytes(size_t size);
// MD5 of `data` as lowercase hexadecimal.
std::string Md5Hex(const std::string& data);

class JobTest : public ::testing::Test {
protected:
    // withLink: the namespace has a working network; without, none.
    void SetUpLab(bool withLink);
    // Starts a server with `script` and a job for `path` with `md5`, both
    // in the lab; the callbacks go to `events`, then to `onRetry` and
    // `onFailure` when given.
    void StartJob(download_test::FaultServer::Script script, const std::string& md5,
                  std::function<void(uint32_t)> onRetry = {}, std::function<void()> onFailure = {});
    // The two halves of StartJob: a server in the lab, and a job (with
    // `hooks` as its engine's) for any address; a job started again
    // replaces the one before.
    void StartServer(download_test::FaultServer::Script script);
    void StartJobAt(const std::string& url, const std::string& md5, std::function<void(uint32_t)> onRetry = {},
                    std::function<void()> onFailure = {});
    // Runs fn in the lab (or here, when the test runs in this machine's network).
    void InLab(const std::function<void()>& fn) const;
    // Waits until the job has counted some bytes of the package.
    bool WaitForBytes(int ms) const;

    std::string Folder() const { return dir.path() + "/"; }
    std::string Package() const { return dir / "update.zip"; }
    std::string TmpFile() const { return dir / "update.zip.dltmp"; }

    void TearDown() override;

    tavlin_test::TempDir dir{"tavlin-job-"};
    std::unique_ptr<NetLab> lab;
    // Shared with the callbacks: a notification thread may outlive the job.
    std::shared_ptr<download_test::FaultServer> server;
    std::shared_ptr<EventLog> events = std::make_shared<EventLog>();
    std::unique_ptr<TestJob> job;
    // Handed to the engine of every job StartJob makes.
    CurlDownloadHooks hooks;
    // Called on every job StartJob makes, before it starts.
    std::function<void(Downloader&)> prepareJob;
};

}  // namespace job_test
