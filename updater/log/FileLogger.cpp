#include "log/FileLogger.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "log/LogDirectory.h"
#include "log/LogFile.h"
#include "platform/clock.h"

// State shared by a logger and its detached writer thread. The writer keeps
// its own reference, so neither outlives what it uses.
struct FileLogger::Core {
    // Queue side: guarded by queueMutex.
    std::mutex queueMutex;
    std::condition_variable queueNotEmpty;  // the writer waits here
    std::condition_variable settledMore;    // Drain waits here
    // Queued lines back to back, and the length of each: one buffer grows
    // instead of one allocation per record.
    std::string queueText;
    std::vector<uint32_t> queueLengths;
    uint64_t queued = 0;   // lines ever queued
    uint64_t settled = 0;  // lines written, or dropped by a failure
    bool writerWaiting = false;
    bool writerRunning = false;
    bool stopRequested = false;

    // Read without a lock by Log, so that a closed log costs callers nothing.
    std::atomic<bool> fileOpen{false};
    std::atomic<uint32_t> sizeLimit{10000000};

    // File side: guarded by ioMutex, held by the writer for one batch.
    std::mutex ioMutex;
    updater_log::LogFile file;
    uint64_t bytesWritten = 0;
    std::string name = "zididudi";
};

namespace {

using Core = FileLogger::Core;

constexpr size_t kMessageMax = 1023;
constexpr size_t kNumberChars = 11;  // "-2147483648"
constexpr size_t kChunkBytes = 64 * 1024;
constexpr auto kNap = std::chrono::milliseconds(2);

// Stamps are tick counts; two files opened in the same millisecond (or a
// file left from an earlier boot) would share a name, so a taken name moves
// the stamp on instead of emptying the older file.
constexpr int kStampTries = 1000;

// Opens the next file of `core`; ioMutex held.
bool OpenFileLocked(Core& core, const std::string& name) {
    if (!name.empty()) core.name = name;
    std::string dir = updater_log::LogDirectory();
    if (dir.empty()) return false;
    int32_t stamp = static_cast<int32_t>(platform::GetTickCount());
    for (int tries = 0; tries < kStampTries; ++tries, ++stamp) {
        std::string path = dir + updater_log::kPathSeparator + core.name + "_" + std::to_string(stamp) + ".log";
        bool taken = false;
        updater_log::LogFile file = updater_log::LogFile::CreateNew(path, &taken);
        if (file) {
            core.file = std::move(file);
            core.bytesWritten = 0;
            return true;
        }
        if (!taken) return false;
    }
    return false;
}

// Writes `chunk` to the current file. On failure the file is cut back to its
// last whole line and closed, so a failed write never leaves half a record.
bool WriteChunk(Core& core, std::string& chunk) {
    size_t done = 0;
    while (done < chunk.size()) {
        int64_t n = core.file.Write(chunk.data() + done, chunk.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        size_t lastEnd = done == 0 ? std::string::npos : chunk.rfind('\n', done - 1);
        size_t keep = lastEnd == std::string::npos ? 0 : lastEnd + 1;
        // Should the cut fail too, the partial line stays; the file is
        // closed either way.
        const bool cut = core.file.Truncate(core.bytesWritten + keep);
        (void)cut;
        core.file.reset();
        return false;
    }
    core.bytesWritten += chunk.size();
    chunk.clear();
    return true;
}

// Writes one batch of lines, starting new files as the size limit asks.
// False when logging has to stop (write or rotation failed).
bool WriteBatch(Core& core, const std::string& text, const std::vector<uint32_t>& lengths, std::string& chunk) {
    std::lock_guard io(core.ioMutex);
    if (!core.file) return false;
    const uint64_t limit = core.sizeLimit.load(std::memory_order_relaxed);
    chunk.clear();
    size_t offset = 0;
    for (uint32_t length : lengths) {
        uint64_t current = core.bytesWritten + chunk.size();
        // An empty file is kept even for a line longer than the limit:
        // a fresh file would hold the same line and leave an empty one behind.
        if (limit != 0 && current + length > limit && current > 0) {
            if (!WriteChunk(core, chunk)) return false;
            core.file.reset();
            if (!OpenFileLocked(core, {})) return false;
        }
        chunk.append(text, offset, length);
        offset += length;
        if (chunk.size() >= kChunkBytes && !WriteChunk(core, chunk)) return false;
    }
    return WriteChunk(core, chunk);
}

void WriterLoop(std::shared_ptr<Core> core) {
    std::string batchText;
    std::vector<uint32_t> batchLengths;
    std::string chunk;
    for (;;) {
        {
            std::unique_lock lock(core->queueMutex);
            bool napped = false;
            for (;;) {
                if (core->stopRequested) {
                    core->writerRunning = false;
                    core->settledMore.notify_all();
                    return;
                }
                if (!core->queueLengths.empty()) break;
                if (!napped) {
                    // A short nap without asking to be woken: while records
                    // keep coming, callers never pay for waking the writer,
                    // and the next batch collects a few milliseconds' worth.
                    napped = true;
                    core->queueNotEmpty.wait_for(lock, kNap);
                    continue;
                }
                core->writerWaiting = true;
                core->queueNotEmpty.wait(lock);
                core->writerWaiting = false;
            }
            batchText.swap(core->queueText);
            batchLengths.swap(core->queueLengths);
        }
        bool ok = WriteBatch(*core, batchText, batchLengths, chunk);
        if (!ok) core->fileOpen.store(false, std::memory_order_relaxed);
        std::lock_guard lock(core->queueMutex);
        core->settled += batchLengths.size();
        batchText.clear();
        batchLengths.clear();
        if (!ok) {
            // Logging stops for the rest of the run; what waits is dropped.
            core->stopRequested = true;
            core->settled += core->queueLengths.size();
            core->queueText.clear();
            core->queueLengths.clear();
        }
        core->settledMore.notify_all();
    }
}

// Local time as "MM dd yyyy HH:mm:ss", worked out once per second per thread.
std::string_view TimeText() {
    struct Cache {
        time_t second = -1;
        char text[32] = {};
        size_t length = 0;
    };
    thread_local Cache cache;
    time_t now = std::time(nullptr);
    if (now != cache.second) {
        tm local{};
        if (updater_log::LocalTime(now, &local)) {
            cache.length = std::strftime(cache.text, sizeof cache.text, "%m %d %Y %H:%M:%S", &local);
        } else {
            cache.length = 0;
        }
        cache.second = now;
    }
    return {cache.text, cache.length};
}

}  // namespace

FileLogger* FileLogger::Instance() {
    static FileLogger* const instance = [] {
        auto* logger = new FileLogger();
        // Lines still queued at a normal exit are written, not lost.
        std::atexit([] { FileLogger::Instance()->Drain(2000); });
        return logger;
    }();
    return instance;
}

FileLogger::FileLogger() : core_(std::make_shared<Core>()) {}

FileLogger::~FileLogger() {
    Drain(2000);
    std::lock_guard lock(core_->queueMutex);
    core_->stopRequested = true;
    core_->queueNotEmpty.notify_all();
}

void FileLogger::Open(std::string name) {
    bool opened;
    {
        std::lock_guard io(core_->ioMutex);
        opened = OpenFileLocked(*core_, name);
    }
    if (!opened) return;
    core_->fileOpen.store(true, std::memory_order_relaxed);
    std::lock_guard lock(core_->queueMutex);
    core_->stopRequested = false;
    if (!name.empty() && !core_->writerRunning) {
        core_->writerRunning = true;
        std::thread(WriterLoop, core_).detach();
    }
}

bool FileLogger::Keeps(int32_t level) const {
    int32_t exact = exactLevel.load(std::memory_order_relaxed);
    if (exact != -1) return level == exact;
    int32_t most = maxLevel.load(std::memory_order_relaxed);
    return most >= 0 && level <= most;
}

void FileLogger::Log(int32_t level, std::string_view sourceFile, int32_t line,
                     std::string_view function, const char* format, ...) {
    if (!Keeps(level) || !core_->fileOpen.load(std::memory_order_relaxed)) return;

    size_t slash = sourceFile.rfind('/');
    if (slash != std::string_view::npos) sourceFile.remove_prefix(slash + 1);
    const std::string_view time = TimeText();

    // The line is built in place in a buffer of this thread's, which only
    // ever grows: no allocation and no second copy of the message.
    thread_local std::string buffer;
    const size_t room = time.size() + sourceFile.size() + function.size() + 2 * kNumberChars + 6 + kMessageMax + 1;
    if (buffer.size() < room) buffer.resize(room);
    char* out = buffer.data();
    auto put = [&out](std::string_view text) { out = std::copy(text.begin(), text.end(), out); };
    auto number = [&out](int32_t value) { out = std::to_chars(out, out + kNumberChars, value).ptr; };
    put(time);
    *out++ = '|';
    number(level);
    *out++ = '|';
    put(sourceFile);
    *out++ = '|';
    number(line);
    *out++ = '|';
    put(function);
    *out++ = '|';
    if (format) {
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(out, kMessageMax + 1, format, args);
        va_end(args);
        if (n > 0) out += std::min(static_cast<size_t>(n), kMessageMax);
    }
    *out++ = '\n';
    const size_t length = static_cast<size_t>(out - buffer.data());

    bool wake;
    {
        std::lock_guard lock(core_->queueMutex);
        core_->queueText.append(buffer.data(), length);
        core_->queueLengths.push_back(static_cast<uint32_t>(length));
        ++core_->queued;
        wake = core_->writerWaiting;
    }
    if (wake) core_->queueNotEmpty.notify_one();
}

bool FileLogger::Drain(int timeoutMs) {
    std::unique_lock lock(core_->queueMutex);
    const uint64_t target = core_->queued;
    core_->settledMore.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return core_->settled >= target || !core_->writerRunning;
    });
    return core_->settled >= target;
}

void FileLogger::SetSizeLimit(uint32_t bytes) {
    core_->sizeLimit.store(bytes, std::memory_order_relaxed);
}

uint32_t FileLogger::SizeLimit() const {
    return core_->sizeLimit.load(std::memory_order_relaxed);
}
