// tavlin-fetch [-n CONNECTIONS] URL TARGET
// tavlin-fetch --job [--md5 DIGEST] URL FOLDER   (the whole job: fetch_job.cpp)
//
// Downloads URL to TARGET with the updater's download engine: resumes from
// TARGET.dltmp when one is left, and exits with status 0 only when TARGET
// is complete. SIGINT or SIGTERM stop the transfer and keep TARGET.dltmp.
// Records go to the updater's log folder under the name "tavlinFetch".
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "download/CurlDownload.h"
#include "log/FileLogger.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
// The engine a stop signal cancels; Cancel only stores lock-free flags.
std::atomic<CurlDownloader*> stopTarget{nullptr};
static_assert(std::atomic<CurlDownloader*>::is_always_lock_free);

void OnStopSignal(int) {
    stopRequested = 1;
    if (CurlDownloader* engine = stopTarget.load()) engine->Cancel();
}

const char* EndText(DownloadEnd why) {
    switch (why) {
        case DownloadEnd::Running: return "stopped";
        case DownloadEnd::Cancelled: return "stopped on request";
        case DownloadEnd::NetworkLost: return "no network";
        case DownloadEnd::Refused: return "refused by the server or the address";
        case DownloadEnd::GaveUp: return "the server kept failing";
        case DownloadEnd::LocalError: return "the temporary file could not be written";
        case DownloadEnd::Restart: return "the file changed again";
    }
    return "stopped";
}

int Usage() {
    std::fprintf(stderr, "usage: tavlin-fetch [-n CONNECTIONS] URL TARGET\n");
    return 2;
}

// How often the engine is asked whether it is done: often enough that the
// wait adds little to a short download.
constexpr useconds_t kPollMicroseconds = 2 * 1000;

}  // namespace

int RunFetchJob(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--job") == 0) return RunFetchJob(argc - 1, argv + 1);
    int32_t connections = CurlDownloadConfig.threadCount;
    int first = 1;
    if (argc > first && std::strcmp(argv[first], "-n") == 0) {
        if (argc <= first + 1) return Usage();
        char* end = nullptr;
        long value = std::strtol(argv[first + 1], &end, 10);
        if (*end != '\0' || value < 1 || value > kMaxSegments) {
            std::fprintf(stderr, "tavlin-fetch: connections must be 1 to %d\n", kMaxSegments);
            return 2;
        }
        connections = static_cast<int32_t>(value);
        first += 2;
    }
    if (argc - first != 2) return Usage();
    std::string url = argv[first];
    std::string target = argv[first + 1];

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    FileLogger* log = FileLogger::Instance();
    log->Open("tavlinFetch");
    log->maxLevel = 0;
    log->exactLevel = -1;

    if (!InitCurlShare()) {
        std::fprintf(stderr, "tavlin-fetch: libcurl could not be set up\n");
        return 1;
    }

    CurlDownloader engine;
    stopTarget = &engine;
    struct Untarget {
        ~Untarget() { stopTarget = nullptr; }
    } untarget;
    if (stopRequested) engine.Cancel();
    if (!engine.Start(url, target, &connections) && !stopRequested)
        std::fprintf(stderr, "tavlin-fetch: the download could not be started\n");

    bool stopped = false;
    bool complete = engine.IsComplete(&stopped);
    for (;;) {
        while (!complete && !stopped && !stopRequested) {
            ::usleep(kPollMicroseconds);
            complete = engine.IsComplete(&stopped);
        }
        // Another version of the file, or ranges that cannot be used: the
        // engine starts over once.
        if (complete || stopRequested || engine.EndReason() != DownloadEnd::Restart || !engine.Restart()) break;
        complete = engine.IsComplete(&stopped);
    }
    if (!complete) {
        DownloadEnd why = stopRequested ? DownloadEnd::Cancelled : engine.EndReason();
        engine.Pause();
        engine.WaitAndFinish();  // closes the temporary file, keeps it for a later run
        std::fprintf(stderr, "tavlin-fetch: incomplete (%s): %u of %u bytes\n", EndText(why),
                     engine.downloadedSize.load(), engine.FileSize.load());
        return 1;
    }
    if (!engine.WaitAndFinish()) {
        std::fprintf(stderr, "tavlin-fetch: the finished file could not be put at %s\n", target.c_str());
        return 1;
    }
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0 || static_cast<uint64_t>(info.st_size) != engine.FileSize.load()) {
        std::fprintf(stderr, "tavlin-fetch: %s is not the size of the remote file\n", target.c_str());
        return 1;
    }
    return 0;
}
