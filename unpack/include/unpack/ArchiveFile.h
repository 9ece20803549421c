// Opens a zip archive for minizip through positioned reads into two
// 256 KiB windows per handle: minizip's own stdio reads go in 4 KiB pieces, each with
// a seek, which made reading the archive cost more system calls than writing
// the files. Every handle of one ArchiveFile shares its descriptor; each
// keeps its own position, so handles may be used by different threads.
#pragma once

#include <unzip.h>

#include <string>

#include "platform/unique_fd.h"

namespace tavlin::unpack {

class ArchiveFile {
public:
    // Opens `path` read-only; check ok().
    explicit ArchiveFile(const std::string& path);
    // The callbacks point at this object.
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;
    bool ok() const { return fd_.valid(); }
    // A new minizip handle on the archive (nullptr when minizip cannot read
    // it). The ArchiveFile must outlive it.
    unzFile OpenHandle();

private:
    platform::UniqueFd fd_;
    int fdNumber_ = -1;
    zlib_filefunc64_def functions_{};
};

}  // namespace tavlin::unpack
