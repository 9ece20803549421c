// The prefix reader: hands the owner the file's contiguous prefix, in
// order, as the segments grow it, read back from the temporary file (the
// page cache holds what was just written). The owner digests the package
// while it downloads instead of in a second pass at the end.
#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#include "download/CurlDownload.h"

namespace {

// Large enough that the digest runs in stretches of about 0.1 ms of MD5
// (a read per stretch costs a few microseconds), small enough to stay close
// behind the transfer and to add little to the process's memory.
constexpr size_t kPrefixChunk = 64 * 1024;
// A wake-up that a writer or a stop could miss (a signal handler cannot
// notify) costs at most this long.
constexpr auto kPrefixRecheck = std::chrono::milliseconds(100);

}  // namespace

uint64_t CurlDownloader::ContiguousBytesLocked() const {
    uint64_t end = 0;
    for (const auto& segment : segments) {
        if (segment->start != end) break;
        end += segment->done;
        if (segment->done < segment->length) break;
    }
    return end;
}

void CurlDownloader::StartPrefixReader() {
    if (!hooks.prefixData || prefixThread.joinable()) return;
    DownloadFile file;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!tmpFile) return;
        // A descriptor of its own: the reader never races the file's close.
        file = tmpFile.Duplicate();
        prefixStop = false;
    }
    if (!file) return;
    try {
        prefixThread = std::thread(&CurlDownloader::PrefixReader, this, std::move(file));
    } catch (const std::system_error&) {
    }
}

void CurlDownloader::PrefixReader(DownloadFile file) {
    // Two buffers in turn: the owner may still read the one handed on last
    // while the next is filled.
    std::vector<char> buffers[2] = {std::vector<char>(kPrefixChunk), std::vector<char>(kPrefixChunk)};
    size_t turn = 0;
    uint64_t handed = 0;
    std::unique_lock<std::mutex> lock(mutex);
    uint32_t seenStartsOver = startsOver;
    while (!Stopping()) {
        uint64_t ready = ContiguousBytesLocked();
        // A single connection that started over from the first byte: what
        // was handed on may be of another answer, however far the new one
        // has come meanwhile.
        if (startsOver != seenStartsOver) {
            seenStartsOver = startsOver;
            handed = 0;
        }
        if (ready == handed) {
            if (prefixStop) break;
            prefixCv.wait_for(lock, kPrefixRecheck);
            continue;
        }
        lock.unlock();
        std::vector<char>& buffer = buffers[turn];
        turn ^= 1;
        size_t want = static_cast<size_t>(std::min<uint64_t>(ready - handed, buffer.size()));
        int64_t got = file.ReadAt(handed, buffer.data(), want);
        if (got > 0) hooks.prefixData(handed, buffer.data(), static_cast<size_t>(got));
        lock.lock();
        if (got <= 0) break;
        handed += static_cast<uint64_t>(got);
    }
    lock.unlock();
    if (hooks.prefixEnd) hooks.prefixEnd();
}

void CurlDownloader::StopPrefixReader() {
    if (!prefixThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        prefixStop = true;
    }
    prefixCv.notify_all();
    // After the last write the reader still hands on what is ready.
    prefixThread.join();
}

void CurlDownloader::WakePrefix() {
    {
        std::lock_guard<std::mutex> lock(mutex);
    }
    prefixCv.notify_all();
}
