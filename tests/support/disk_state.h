// Real disk conditions for tests of package installation: a small tmpfs
// mounted over a folder (for a disk that is full, or fills up), and a look
// for what an interrupted or failed installation may leave behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavlin_test {

// A tmpfs over one folder, in a mount namespace of the calling thread's own
// (entered on first use), so the mount is never seen outside this process
// and its children and vanishes with them. Needs CAP_SYS_ADMIN over the
// mount namespace: root, or root of a user namespace.
class SmallDisk {
public:
    SmallDisk() = default;
    ~SmallDisk();  // unmounts (lazily: a process may still have it open)
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // Mounts a tmpfs over `folder`, which keeps what it held (copied onto
    // the tmpfs, modes included). False, with error(), when this process
    // may not mount.
    bool Mount(const std::string& folder);

    // Resizes the tmpfs so that exactly `freeBytes` (rounded up to whole
    // pages) and `freeInodes` are free now.
    bool LeaveFree(uint64_t freeBytes, uint64_t freeInodes = 1u << 20);

    // Fills every free byte with a file at `path` (on this tmpfs).
    bool Fill(const std::string& path);

    uint64_t FreeBytes() const;
    uint64_t FreeInodes() const;
    const std::string& error() const { return error_; }

private:
    std::string folder_;
    bool mounted_ = false;
    std::string error_;
};

// Paths (relative to `root`) of every name below it that carries the marker
// of staged files and of the installation journal, ".tavlin-".
std::vector<std::string> StagingDebris(const std::string& root);

// Sets or clears the immutable flag of `path`. False where the file system
// or the rights refuse it.
bool SetImmutable(const std::string& path, bool on);

}  // namespace tavlin_test
