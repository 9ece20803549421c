// What every platform's unpacker shares: the list of work read from the
// archive's directory, the one failure a package reports, and reading an
// entry's data in full with its size and CRC checked.
#pragma once

#include <unzip.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "unpack/EntryMeta.h"
#include "unpack/EntryName.h"
#include "unpack/Printable.h"

namespace tavlin::unpack {

constexpr std::size_t kReadBufferSize = 256 * 1024;
constexpr std::size_t kMaxFieldSize = 65536;  // name and extra fields are 16-bit sized
constexpr uint64_t kMaxLinkTarget = 4096;

enum class Kind { Folder, File, Link };

struct Planned {
    std::size_t order = 0;  // index of the entry in the archive
    unz64_file_pos pos{};
    std::string storedName;
    EntryPath path;
    Kind kind = Kind::File;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    EntryAttributes attributes;
    EntryTimes times;
};

struct Failure {
    std::size_t order = SIZE_MAX;
    std::string name;
    std::string reason;
};

// The first failure by archive order wins, whichever thread saw it first.
class FailureSlot {
public:
    void Set(std::size_t order, const std::string& name, const std::string& reason) {
        std::lock_guard lock(mutex_);
        if (!failed() || order < failure_.order) failure_ = {order, Printable(name), reason};
        flag_.store(true, std::memory_order_relaxed);
    }
    bool failed() const { return flag_.load(std::memory_order_relaxed); }
    const Failure& get() const { return failure_; }

private:
    std::mutex mutex_;
    Failure failure_;
    std::atomic<bool> flag_{false};
};

struct UnzCloser {
    void operator()(void* uf) const { unzClose(uf); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

// The one place minizip's codes become words.
std::string UnzError(int code);

// Reads the archive's directory into the list of work. False at the first
// entry that cannot be placed safely or read: the package then fails whole.
bool ReadPlan(unzFile uf, std::vector<Planned>& plan, FailureSlot& failure);

// Keeps only the last file or link of each name, so work can be shared out
// without two threads writing one path.
void DropSuperseded(std::vector<Planned>& plan);

// Reads the current entry's whole data through `consume`; true only when the
// data is exactly as long as declared and its CRC matches. Data beyond the
// declared size stops the read at once, so a lying entry cannot fill the disk.
// The first read inflates at most `firstRead` bytes, each next one four
// times more, up to the buffer's size.
template <typename Consume>
bool ReadEntryData(unzFile uf, const Planned& e, std::vector<char>& buffer, std::string& why, Consume consume,
                   std::size_t firstRead = SIZE_MAX) {
    if (unzGoToFilePos64(uf, &e.pos) != UNZ_OK) {
        why = "entry record cannot be found again";
        return false;
    }
    int rc = unzOpenCurrentFile(uf);
    if (rc != UNZ_OK) {
        why = UnzError(rc);
        return false;
    }
    uint64_t total = 0;
    bool good = true;
    std::size_t want = std::min(firstRead, buffer.size());
    for (;;) {
        const int n = unzReadCurrentFile(uf, buffer.data(), static_cast<unsigned>(want));
        want = std::min(want * 4, buffer.size());
        if (n < 0) {
            why = UnzError(n);
            good = false;
            break;
        }
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (total > e.size) {
            why = "data is longer than the " + std::to_string(e.size) + " bytes declared";
            good = false;
            break;
        }
        if (!consume(buffer.data(), static_cast<std::size_t>(n))) {
            good = false;
            break;
        }
    }
    rc = unzCloseCurrentFile(uf);
    if (good && rc != UNZ_OK) {
        why = UnzError(rc);
        good = false;
    }
    if (good && total != e.size) {
        why = "data is " + std::to_string(total) + " bytes, " + std::to_string(e.size) + " declared";
        good = false;
    }
    return good;
}

}  // namespace tavlin::unpack
