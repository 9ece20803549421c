#include "packer/ChunkPipeline.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "packer/ChunkDeflater.h"
#include "platform/unique_fd.h"
#include "unpack/Printable.h"

namespace tavlin::packer {

namespace {

// Pieces in flight per worker: enough that no worker waits for the writer.
constexpr std::size_t kWindowPerThread = 4;

// Opens a file of the tree without following a link anywhere on its way,
// so a tree changed after the scan cannot slip in a file from elsewhere.
int OpenBelow(int rootFd, const std::string& path) {
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    return ::openat(rootFd, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

bool ReadAt(int fd, char* data, std::size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

ChunkResult Process(int rootFd, const ChunkJob& job, ChunkDeflater& deflater, std::string& buffer) {
    ChunkResult r;
    const TreeEntry& e = *job.entry;
    const std::string name = "\"" + unpack::Printable(e.path) + "\"";
    const platform::UniqueFd fd(OpenBelow(rootFd, e.path));
    if (!fd) {
        r.error = name + " cannot be opened: " + std::strerror(errno);
        return r;
    }
    // The same file as scanned, not written to since: a piece read while
    // another process writes would join pieces of two versions.
    auto unchanged = [&] {
        struct stat st{};
        return ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == e.size &&
               (e.changeTimeNs == 0 || ChangeTimeNs(st) == e.changeTimeNs);
    };
    if (!unchanged()) {
        r.error = name + " changed while the package was made";
        return r;
    }
    const std::size_t dictionary = static_cast<std::size_t>(std::min<uint64_t>(job.offset, kDeflateWindow));
    buffer.resize(dictionary + job.length);
    errno = 0;
    if (!ReadAt(fd.get(), buffer.data(), buffer.size(), job.offset - dictionary)) {
        r.error = name + " cannot be read whole: " + (errno ? std::strerror(errno) : "it changed");
        return r;
    }
    if (!unchanged()) {
        r.error = name + " changed while the package was made";
        return r;
    }
    const std::string_view data(buffer.data() + dictionary, job.length);
    r.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), job.length));
    if (!deflater.Compress(std::string_view(buffer.data(), dictionary), data, job.last, r.data)) {
        r.error = name + ": the compressor failed (out of memory?)";
        return r;
    }
    if (job.whole && r.data.size() >= data.size()) {
        r.data.assign(data);
        r.stored = true;
    }
    return r;
}

}  // namespace

std::vector<ChunkJob> PlanChunks(const std::vector<TreeEntry>& entries) {
    std::vector<ChunkJob> jobs;
    for (const TreeEntry& e : entries) {
        if (e.kind != EntryKind::File || e.size == 0) continue;
        for (uint64_t offset = 0; offset < e.size; offset += kChunkSize) {
            ChunkJob job;
            job.entry = &e;
            job.offset = offset;
            job.length = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, e.size - offset));
            job.last = offset + job.length == e.size;
            job.whole = offset == 0 && job.last;
            jobs.push_back(job);
        }
    }
    return jobs;
}

ChunkPipeline::ChunkPipeline(int rootFd, const std::vector<ChunkJob>& jobs, unsigned threads)
    : rootFd_(rootFd), jobs_(jobs), window_(kWindowPerThread * std::max(1u, threads)), ring_(window_) {
    for (unsigned t = 0; t < std::max(1u, threads); ++t) workers_.emplace_back([this] { Work(); });
}

ChunkPipeline::~ChunkPipeline() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

ChunkResult ChunkPipeline::Next() {
    std::unique_lock lock(mutex_);
    std::optional<ChunkResult>& slot = ring_[consumed_ % window_];
    changed_.wait(lock, [&] { return slot.has_value(); });
    ChunkResult result = std::move(*slot);
    slot.reset();
    ++consumed_;
    lock.unlock();
    changed_.notify_all();
    return result;
}

void ChunkPipeline::Work() {
    ChunkDeflater deflater;
    std::string buffer;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || next_ >= jobs_.size() || next_ < consumed_ + window_; });
        if (stop_ || next_ >= jobs_.size()) return;
        const std::size_t index = next_++;
        lock.unlock();
        ChunkResult result = Process(rootFd_, jobs_[index], deflater, buffer);
        lock.lock();
        ring_[index % window_] = std::move(result);
        changed_.notify_all();
    }
}

}  // namespace tavlin::packer
