// A file written under a staged name beside its target. Nothing here
// touches the target: the commit renames the staged file over it later.
// Owned and used by one thread. The Linux file layer's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "platform/unique_fd.h"
#include "unpack/StagedName.h"

namespace tavlin::unpack {

class StagedFile {
public:
    // Creates `stagedName` in `dirFd` (borrowed) with O_EXCL, mode 0600.
    // Check ok() afterwards.
    StagedFile(int dirFd, std::string stagedName);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    // Removes the staged file unless Finish succeeded.
    ~StagedFile();

    bool ok() const { return fd_.valid(); }
    const std::string& error() const { return error_; }

    bool Write(const void* data, std::size_t size);
    // Sets mode and times (access, modification) and closes the file,
    // which then waits for the commit. False (with error()) on failure.
    bool Finish(mode_t mode, std::time_t access, std::time_t modification);

private:
    bool Fail(const std::string& what);

    int dirFd_;
    std::string name_;
    platform::UniqueFd fd_;
    bool created_ = false;
    bool finished_ = false;
    std::string error_;
};

// Stages a symbolic link `stagedName` -> `target` in `dirFd`. False (with
// `error`) on failure.
bool StageSymlink(int dirFd, const std::string& stagedName, const std::string& target, std::string& error);

}  // namespace tavlin::unpack
