// tavlin-fetch --job [--md5 DIGEST] URL FOLDER
//
// Runs the updater's whole download job: deletes FOLDER/update.zip,
// downloads URL there, checks the MD5 digest (empty: none given, which never
// matches) and registers FOLDER/InstallZebApp.dll. Prints one line per
// event on stdout ("failure", "retry N"), then "finished" or "not finished"
// with the last progress, and exits 0 only when the job finished. SIGINT or
// SIGTERM release the job at once (status 1).
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "download/zipDownloader.h"
#include "log/FileLogger.h"

int RunFetchJob(int argc, char** argv);

namespace {

class FetchJob : public Downloader {
public:
    FetchJob(std::string url, std::string md5) : Downloader(std::move(url), std::move(md5), false) {}
    ~FetchJob() override { Release(); }
    // The tool downloads and verifies; installing is the updater's.
    void DoInstall() override {}
};

int JobUsage() {
    std::fprintf(stderr, "usage: tavlin-fetch --job [--md5 DIGEST] URL FOLDER\n");
    return 2;
}

void PrintLine(const char* format, auto... args) {
    std::printf(format, args...);
    std::fflush(stdout);
}

}  // namespace

// argv[0] is "--job".
int RunFetchJob(int argc, char** argv) {
    int first = 1;
    std::string md5;
    if (argc > first && std::strcmp(argv[first], "--md5") == 0) {
        if (argc <= first + 1) return JobUsage();
        md5 = argv[first + 1];
        first += 2;
    }
    if (argc - first != 2) return JobUsage();
    std::string folder = argv[first + 1];
    if (folder.empty()) return JobUsage();
    if (folder.back() != '/') folder += '/';

    // Signals are taken by sigtimedwait below; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    FileLogger* log = FileLogger::Instance();
    log->Open("tavlinFetch");
    log->maxLevel = 0;
    log->exactLevel = -1;

    auto job = std::make_unique<FetchJob>(argv[first], md5);
    job->workDir = folder;
    job->onRetry = [](uint32_t n) { PrintLine("retry %u\n", n); };
    job->onFailure = [] { PrintLine("failure\n"); };
    job->Start();

    const timespec step{0, 100 * 1000 * 1000};
    while (!job->WaitDone(0)) {
        if (sigtimedwait(&stopSignals, nullptr, &step) > 0) {
            job.reset();
            PrintLine("released\n");
            return 1;
        }
    }
    const DownloadProgress progress = job->progress;
    const bool finished = job->finished;
    PrintLine("%s %lld of %lld bytes\n", finished ? "finished" : "not finished",
              static_cast<long long>(progress.downloadedBytes.load()),
              static_cast<long long>(progress.totalBytes.load()));
    return finished ? 0 : 1;
}
