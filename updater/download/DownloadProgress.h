// DownloadProgress: what the progress window shows of a download job.
// The counters are written by the job's worker and read by any thread
// without a lock; a copy is a snapshot.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct DownloadProgress {
    std::string expectedMd5;                 // as received; set before the job starts
    std::atomic<int64_t> downloadedBytes{0};  // 0 at start and after a digest mismatch
    std::atomic<int64_t> totalBytes{0};       // 0 until the engine knows the size

    DownloadProgress() = default;
    DownloadProgress(const DownloadProgress& o)
        : expectedMd5(o.expectedMd5), downloadedBytes(o.downloadedBytes.load()), totalBytes(o.totalBytes.load()) {}
    DownloadProgress& operator=(const DownloadProgress& o) {
        expectedMd5 = o.expectedMd5;
        downloadedBytes = o.downloadedBytes.load();
        totalBytes = o.totalBytes.load();
        return *this;
    }
};
