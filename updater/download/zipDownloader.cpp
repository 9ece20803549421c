#include "download/zipDownloader.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "app/zebUtil.h"
#include "download/CurlShare.h"
#include "download/DownloadDigest.h"
#include "download/DownloadFile.h"
#include "download/DownloadVersion.h"
#include "download/PackageCheck.h"
#include "log/FileLogger.h"
#include "platform/network.h"

// What the detached watcher shares with the job: the job pointer is cleared
// under the mutex when the job is released, and the watcher reads the job
// only while holding it, so it never touches a released job. `calling` is
// set while the watcher runs a callback, which release waits for, so that
// no callback of the owner's runs once the release has returned.
struct Downloader::WatchLink {
    std::mutex mutex;
    std::condition_variable cv;
    Downloader* job = nullptr;
    bool calling = false;
    std::thread::id watcher;  // set while calling
};

namespace {

constexpr int32_t kConnections = 5;

// Runs a copy of `callback` on a detached thread, so that the caller is not
// held by the prompt it shows.
void NotifyDetached(const std::function<void()>& callback) {
    if (!callback) return;
    try {
        std::thread(callback).detach();
    } catch (const std::system_error&) {
        callback();
    }
}

// The package a ".dltmp" holds bytes of, kept beside it. The engine tells
// versions of one address apart only by the server's validators; without
// them a run for another package (a new address and digest) would resume
// this one's bytes into a file that can only fail its digest, and tell the
// user that the update failed.
std::string PackageMarkOf(const std::string& tmpName) { return tmpName + ".package"; }

std::string PackageIdentity(const std::string& url, const std::string& md5) {
    return md5.empty() ? url : DigestText(md5);
}

// False when there is no readable mark.
bool ReadPackageMark(const std::string& path, std::string* identity) {
    constexpr uint64_t kMaxMark = 64 * 1024;
    const DownloadFile file = DownloadFile::OpenToRead(path);
    uint64_t length = 0;
    int error = 0;
    if (!file || !file.Length(&length, &error) || length > kMaxMark) return false;
    identity->resize(static_cast<size_t>(length));
    return file.ReadAllAt(0, identity->data(), identity->size());
}

// Discards the temporary file of another package, then marks it as this
// one's. A temporary file without a mark (from an earlier build) is kept:
// nothing tells whose it is, and the digest still guards the result.
void ClaimTemporaryFile(const std::string& tmpName, const std::string& identity) {
    const std::string mark = PackageMarkOf(tmpName);
    std::string recorded;
    const bool marked = ReadPackageMark(mark, &recorded);
    if (marked && recorded == identity) return;
    if (marked && download_file::Exists(tmpName)) {
        // Held by another download: that one's, left alone.
        if (!download_file::RemoveUnlessHeld(tmpName)) return;
        download_file::Remove(VersionFileOf(tmpName));
        UPDATER_LOG(0, "the temporary file of another package was discarded: %s\n", tmpName.c_str());
    }
    // A new file, never written through whatever stands at the name: a link
    // there would have the mark overwrite a file outside the work folder.
    download_file::Remove(mark);
    download_file::WriteWhole(mark, identity);
}

}  // namespace

Downloader::Downloader(std::string url, std::string expectedMd5, bool stopClientFirst)
    : url(std::move(url)), stopClientFirst(stopClientFirst), watchLink_(std::make_shared<WatchLink>()) {
    progress.expectedMd5 = std::move(expectedMd5);
    watchLink_->job = this;
}

Downloader::~Downloader() { Release(); }

void Downloader::Release() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        released_ = true;
        if (engine_) engine_->Cancel();
    }
    releaseCv_.notify_all();
    {
        std::unique_lock<std::mutex> lock(watchLink_->mutex);
        watchLink_->job = nullptr;
        watchLink_->cv.notify_all();
        // A callback that releases the job itself cannot wait for itself.
        if (watchLink_->watcher != std::this_thread::get_id())
            watchLink_->cv.wait(lock, [this] { return !watchLink_->calling; });
    }
    // A cancel holds through every Start of the engine, and a worker that
    // has not registered its engine yet sees `released_`: it ends promptly.
    JoinWorker();
}

bool Downloader::WaitForReleaseOrSegmentEnd(uint32_t ms) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    releaseCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return released_ || segmentEnded_; });
    segmentEnded_ = false;
    return released_;
}

void Downloader::Run() {
    std::string folder = workDir.empty() ? zeb::ToNarrow(zeb::GetModuleDir()) : workDir;
    const std::string packagePath = folder + "update.zip";
    download_file::Remove(packagePath);

    if (stopClientFirst) zeb::KillOrbProcessAndWait();
    InitCurlShare();

    // Without a network the owner is told at once; the transfer is still
    // tried, since the engine has its own retries.
    if (!platform::IsNetworkAlive() && onFailure) onFailure();

    const std::string tmpName = packagePath + ".dltmp";
    ClaimTemporaryFile(tmpName, PackageIdentity(url, progress.expectedMd5));
    PackageDigests streamed;
    if (Download(packagePath, &streamed)) Verify(packagePath, folder, streamed);
    // The mark lives as long as the file it names.
    if (!download_file::Exists(tmpName)) download_file::Remove(PackageMarkOf(tmpName));
}

void Downloader::ReportFailure() {
    if (!failureReported_.exchange(true)) NotifyDetached(onFailure);
}

bool Downloader::WaitForNetwork() {
    for (;;) {
        if (failureReported_) return false;
        if (platform::IsNetworkAlive()) return true;
        if (WaitForReleaseOrSegmentEnd(kPollMs)) return false;
    }
}

bool Downloader::Download(const std::string& packagePath, PackageDigests* streamed) {
    // The digests follow the file while it arrives; only the engine's
    // prefix reader feeds them, and they are read after WaitAndFinish.
    // Declared first: the engine's reader may feed them until the engine is
    // gone.
    PackageDigestStream digest(NeedsSha256(Expected(), trustedKeys.get()));
    CurlDownloader engine;
    // The last segment's end wakes the poll below, so a finished download is
    // verified at once rather than at the next poll.
    CurlDownloadHooks hooks = engineHooks;
    hooks.segmentEnded = [this, next = std::move(hooks.segmentEnded)] {
        if (next) next();
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            segmentEnded_ = true;
        }
        releaseCv_.notify_all();
    };
    hooks.prefixData = [&digest, next = std::move(hooks.prefixData)](uint64_t at, const char* data, size_t size) {
        digest.Feed(at, data, size);
        if (next) next(at, data, size);
    };
    hooks.prefixEnd = [&digest, next = std::move(hooks.prefixEnd)] {
        digest.Sync();
        if (next) next();
    };
    engine.SetHooks(std::move(hooks));
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (released_) return false;
        engine_ = &engine;
    }
    // Deregisters the engine before it is destroyed, on every way out.
    struct Deregister {
        Downloader* job;
        ~Deregister() {
            std::lock_guard<std::mutex> lock(job->stateMutex_);
            job->engine_ = nullptr;
        }
    } deregister{this};

    // Before the engine starts: its probes wait on the server for up to the
    // stall limit, and an outage meanwhile must reach the window as one
    // during a transfer does.
    try {
        std::thread(&Downloader::WatchNetwork, watchLink_).detach();
    } catch (const std::system_error&) {
        // Without a watcher the download still runs; only outages go unreported.
    }

    engine.Start(url, packagePath, &kConnections);

    // Resumptions after the network came back, so a link that keeps
    // flapping cannot keep the job going for ever.
    constexpr int kMaxResumes = 50;
    int resumes = 0;
    for (;;) {
        bool stopped = false;
        bool complete = engine.IsComplete(&stopped);
        while (!complete && !stopped) {
            progress.totalBytes = engine.FileSize.load();
            progress.downloadedBytes = engine.downloadedSize.load();
            if (WaitForReleaseOrSegmentEnd(kPollMs)) return false;
            complete = engine.IsComplete(&stopped);
        }
        // The complete counts, too: a file that arrived before the first poll
        // would otherwise show 0 of 0, and the watcher ends only once they match.
        progress.totalBytes = engine.FileSize.load();
        progress.downloadedBytes = engine.downloadedSize.load();
        if (complete) break;

        // The engine has stopped short of the file.
        switch (engine.EndReason()) {
            case DownloadEnd::Restart:
                if (engine.Restart() || engine.EndReason() == DownloadEnd::NetworkLost) continue;
                break;
            case DownloadEnd::NetworkLost:
                // The watcher tells the owner about the outage and ends it
                // with a failure when it lasts; a network that comes back
                // resumes the download from its temporary file.
                if (!WaitForNetwork()) return false;
                if (++resumes > kMaxResumes) break;
                engine.Start(url, packagePath, &kConnections);
                continue;
            case DownloadEnd::Cancelled:
                return false;
            default:
                break;
        }
        ReportFailure();
        return false;
    }
    // Digests that followed the whole file are checked before it takes the
    // package's name: a package that fails them never stands where the
    // launcher would apply it, not even for the moment before its deletion.
    bool rejected = false;
    const bool placed = engine.WaitAndFinish([&] {
        if (digest.Bytes() != engine.FileSize.load()) return true;
        *streamed = digest.Finish();
        // Spoiled digests say nothing: the file is read again once in place.
        if (streamed->md5.empty()) return true;
        rejected = !Accepted(*streamed);
        return !rejected;
    });
    if (rejected) {
        Refused();
        return false;
    }
    // The streamed digests vouch for the bytes that arrived, not for the
    // file at the package path: a download that could not be put there (a
    // folder or another file in its place, a failed cut) is a failure, or
    // whatever is there would pass for the verified package.
    if (!placed) {
        UPDATER_LOG(0, "the download could not be made the package %s\n", packagePath.c_str());
        ReportFailure();
        return false;
    }
    return true;
}

PackageExpectations Downloader::Expected() const { return {progress.expectedMd5, expectedSha256, signature}; }

bool Downloader::Accepted(const PackageDigests& digests) const {
    const PackageVerdict verdict = CheckPackage(digests, Expected(), trustedKeys.get());
    if (verdict == PackageVerdict::Accepted) return true;
    UPDATER_LOG(0, "package rejected, deleted: %s\n", VerdictText(verdict));
    return false;
}

void Downloader::Refused() {
    progress.downloadedBytes = 0;
    NotifyDetached(onFailure);
}

void Downloader::Verify(const std::string& packagePath, const std::string& folder, const PackageDigests& streamed) {
    // The digests taken while the file arrived cover exactly its bytes and
    // were checked before it took the package's name; a second pass (one
    // read for both digests) is needed only when they could not follow it.
    if (streamed.md5.empty() && !Accepted(DigestsOfFile(packagePath, NeedsSha256(Expected(), trustedKeys.get())))) {
        download_file::Remove(packagePath);
        Refused();
        return;
    }
    zeb::RegisterServerDll(zeb::GetInstallDllPath(zeb::ToWide(folder)));
    finished = true;
}

void Downloader::WatchNetwork(std::shared_ptr<WatchLink> link) {
    // Calls one of the job's callbacks unless the job has been released;
    // false when it has.
    auto call = [&link](auto pick, auto... args) {
        std::unique_lock<std::mutex> lock(link->mutex);
        if (!link->job) return false;
        auto callback = pick(*link->job);
        link->calling = true;
        link->watcher = std::this_thread::get_id();
        lock.unlock();
        if (callback) callback(args...);
        lock.lock();
        link->calling = false;
        link->watcher = {};
        link->cv.notify_all();
        return true;
    };
    // The whole file has arrived (or the job is gone): nothing left to watch.
    auto complete = [&link] {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (!link->job) return true;
        const int64_t total = link->job->progress.totalBytes;
        return total > 0 && total == link->job->progress.downloadedBytes;
    };
    uint32_t n = 0;
    for (;;) {
        if (platform::IsNetworkAlive()) {
            std::unique_lock<std::mutex> lock(link->mutex);
            if (link->cv.wait_for(lock, std::chrono::milliseconds(kWatchMs), [&] { return !link->job; }))
                return;
            lock.unlock();
            if (complete()) return;
            continue;
        }
        while (n < kMaxRetries) {
            // The last bytes may still arrive after the link went (they were
            // on their way): a download that completes is no failure.
            if (complete()) return;
            if (!call([](Downloader& job) { return job.onRetry; }, n)) return;
            if (platform::IsNetworkAlive()) {
                if (!call([](Downloader& job) { return job.onRetry; }, 0u)) return;
                n = 0;
                break;
            }
            ++n;
        }
        if (n >= kMaxRetries) {
            if (complete()) return;
            // Reported once: the worker, waiting for the network, ends too.
            call([](Downloader& job) {
                return job.failureReported_.exchange(true) ? std::function<void()>() : job.onFailure;
            });
            std::lock_guard<std::mutex> lock(link->mutex);
            if (link->job) link->job->releaseCv_.notify_all();
            return;
        }
    }
}
