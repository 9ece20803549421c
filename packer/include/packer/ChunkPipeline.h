// Reads and deflates the files of a package on worker threads, handing the
// results back in package order to one consumer. Only a bounded window of
// pieces is in flight, so memory stays small whatever the size of the tree.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "packer/TreeEntry.h"

namespace tavlin::packer {

// Files are cut into pieces of this size; the cut does not depend on the
// number of threads, so neither does the package.
inline constexpr uint64_t kChunkSize = 1 << 20;

struct ChunkJob {
    const TreeEntry* entry = nullptr;
    uint64_t offset = 0;
    uint32_t length = 0;
    bool last = false;   // the last piece of its file
    bool whole = false;  // the file's only piece: may be stored instead
};

struct ChunkResult {
    std::string data;  // deflated, or the file's data when `stored`
    uint32_t crc = 0;  // CRC-32 of this piece's uncompressed data
    bool stored = false;
    std::string error;  // the file could not be read as scanned
};

// The pieces of every non-empty file of `entries`, in order.
std::vector<ChunkJob> PlanChunks(const std::vector<TreeEntry>& entries);

class ChunkPipeline {
public:
    // Starts `threads` workers that read files below `rootFd` (borrowed;
    // it must outlive the pipeline). `jobs` must outlive it too.
    ChunkPipeline(int rootFd, const std::vector<ChunkJob>& jobs, unsigned threads);
    // Stops the workers and waits for them.
    ~ChunkPipeline();
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // The result of the next job in order; blocks until it is ready. One
    // consumer thread; at most once per job.
    ChunkResult Next();

private:
    void Work();

    const int rootFd_;
    const std::vector<ChunkJob>& jobs_;
    const std::size_t window_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<ChunkResult>> ring_;
    std::size_t next_ = 0;      // the next job a worker takes
    std::size_t consumed_ = 0;  // the next result handed out
    bool stop_ = false;
    std::vector<std::jthread> workers_;  // last: joined before the rest goes
};

}  // namespace tavlin::packer
