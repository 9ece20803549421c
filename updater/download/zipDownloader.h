// The download job: fetches the update package with CurlDownloader on a
// worker thread, publishes its progress, watches the network on a detached
// thread, verifies the package (its MD5, and its SHA-256 and signature when
// asked for; PackageCheck.h) and registers the package's InstallZebApp.dll. The installation itself is ZipDownloader::DoInstall.
//
// Threads: the owner (the progress window) creates, starts, polls and
// releases the job; the worker runs Run; the watcher runs WatchNetwork and
// stops reading the job once it is released; a mismatched digest notifies
// on a short-lived thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/UpdateParams.h"
#include "download/CurlDownload.h"
#include "download/DownloadDigest.h"
#include "download/PackageCheck.h"
#include "download/DownloadProgress.h"
#include "download/PackageKeys.h"
#include "download/ThreadBase.h"

class Downloader : public ThreadBase {
public:
    // Stops a running download (its transfers abort within about a second)
    // and waits for the worker and for a callback the watcher is running.
    // The callbacks must therefore not wait for the owner's thread, and the
    // worker's own onFailure must not release the job; a watcher's callback
    // may.
    ~Downloader() override;

    // The whole job; the worker thread. See zipDownloader.cpp.
    void Run() override;
    virtual void DoInstall() = 0;

    // Set by the owner before Start; called on the watcher, the worker or a
    // notification thread, never on the owner's thread.
    std::function<void(uint32_t)> onRetry;
    std::function<void()> onFailure;

    std::string url;
    std::atomic<bool> finished{false};  // only after the package passed its checks
    bool stopClientFirst = false;
    DownloadProgress progress;

    // Before Start: the SHA-256 the package must have ("": none asked for),
    // the signature the job carries, and the keys it must verify under
    // (null: no signature is asked for and `signature` is ignored).
    std::string expectedSha256;
    std::string signature;
    std::shared_ptr<const tavlin::signing::TrustedKeys> trustedKeys;

    // For tools and tests, before Start: the work folder (ending in "/")
    // that receives "update.zip" and holds "InstallZebApp.dll"; empty: the
    // program's own folder.
    std::string workDir;
    // For tools and tests, before Start: handed to the engine.
    CurlDownloadHooks engineHooks;

    // Milliseconds between the worker's polls and between the watcher's
    // network checks.
    static constexpr uint32_t kPollMs = 1000;
    static constexpr uint32_t kWatchMs = 3000;
    // Failed network checks in a row that end the job.
    static constexpr uint32_t kMaxRetries = 10;

protected:
    Downloader(std::string url, std::string expectedMd5, bool stopClientFirst);

    // Asks Run to return, aborts the engine's transfers, cuts the watcher
    // off from the job and waits for the worker. Owner's thread; the most
    // derived destructor calls it first. Idempotent.
    void Release();

private:
    struct WatchLink;
    static void WatchNetwork(std::shared_ptr<WatchLink> link);
    // Sleeps up to ms, waking early when a segment of the engine has ended;
    // true when the job is being released.
    bool WaitForReleaseOrSegmentEnd(uint32_t ms);
    // The engine part of Run: start, poll, resume after an outage, restart
    // for a changed file, finish. False when released or failed (the
    // failure reported). `streamed`: the digests taken while the file
    // arrived, when they cover the whole file.
    bool Download(const std::string& packagePath, PackageDigests* streamed);
    void Verify(const std::string& packagePath, const std::string& folder, const PackageDigests& streamed);
    // Whether the package's digests (and signature) are the expected ones;
    // logs a refusal.
    bool Accepted(const PackageDigests& digests) const;
    // What the package must match: its digests and signature.
    PackageExpectations Expected() const;
    // A package that failed its checks is gone: progress back to 0, the
    // owner told.
    void Refused();
    // Calls onFailure once per job, on a thread of its own.
    void ReportFailure();
    // Waits for the network to come back: false when the job is released or
    // the watcher has given the outage up.
    bool WaitForNetwork();

    std::mutex stateMutex_;
    std::condition_variable releaseCv_;
    bool released_ = false;
    bool segmentEnded_ = false;  // under stateMutex_
    // Set by whichever of the worker and the watcher reports a failure first.
    std::atomic<bool> failureReported_{false};
    CurlDownloader* engine_ = nullptr;  // under stateMutex_, while Run holds one
    std::shared_ptr<WatchLink> watchLink_;
};

// The waits of ZipDownloader::DoInstall, in milliseconds. Tests shorten
// them; the defaults are the installation's own.
struct InstallHooks {
    uint32_t clientStopLimitMs = 30000;  // then the package is left for the launcher
    uint32_t unpackLimitMs = 60000;      // retrying an unusable unpack target
    uint32_t unpackPauseMs = 2000;       // between those attempts
};

class ZipDownloader : public Downloader {
public:
    // Takes the process's trusted keys (PackageKeys.h).
    explicit ZipDownloader(const UpdateParams& job)
        : Downloader(job.zipUrl, job.zipMd5, job.forcedUpdate != 0), params(job) {
        expectedSha256 = job.zipSha256;
        signature = job.zipSignature;
        trustedKeys = TrustedPackageKeys();
    }
    ~ZipDownloader() override { Release(); }

    // Installs the verified package; defined with the installation
    // (zipInstall.cpp). Blocks the calling thread, which runs the prompt and
    // the update-finished window modally.
    void DoInstall() override;

    UpdateParams params;
    // For tests, before DoInstall.
    InstallHooks installHooks;
};
