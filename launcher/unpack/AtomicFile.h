// A file written under a temporary name beside its target and renamed over
// the target only once complete, so readers see the old file or the whole
// new one, never a part. Owned and used by one thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "platform/unique_fd.h"

namespace tavlin::unpack {

class AtomicFile {
public:
    // Creates ".<name>.tavlin-XXXXXX" (or ".tavlin-XXXXXX" when that would
    // be too long) in `dirFd` with O_EXCL. Check ok() afterwards.
    AtomicFile(int dirFd, std::string name);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // Removes the temporary file unless Commit succeeded.
    ~AtomicFile();

    bool ok() const { return fd_.valid(); }
    const std::string& error() const { return error_; }

    bool Write(const void* data, std::size_t size);
    // Sets mode and times (access, modification), closes the file and
    // renames it over the target. False (with error()) on any failure; the
    // target is then untouched.
    bool Commit(mode_t mode, std::time_t access, std::time_t modification);

    // The temporary names this class makes start with this, after the dot.
    static constexpr const char* kMarker = ".tavlin-";

private:
    bool Fail(const std::string& what);
    bool PutInPlace();

    int dirFd_;
    std::string name_;
    std::string tempName_;
    platform::UniqueFd fd_;
    bool committed_ = false;
    std::string error_;
};

// Creates a symbolic link `name` -> `target` in `dirFd` under a temporary
// name and renames it over `name`. False (with `error`) on failure.
bool ReplaceWithSymlink(int dirFd, const std::string& name, const std::string& target,
                        std::string& error);

}  // namespace tavlin::unpack
