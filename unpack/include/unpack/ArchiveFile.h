// Opens a zip archive for minizip through positioned reads into two
// 256 KiB windows per handle: minizip's own stdio reads go in 4 KiB pieces, each with
// a seek, which made reading the archive cost more system calls than writing
// the files. Every handle of one ArchiveFile shares its open file; each
// keeps its own position, so handles may be used by different threads.
#pragma once

#include <unzip.h>

#include <memory>
#include <string>

namespace tavlin::unpack {

// The open archive file; each platform's file layer defines it.
struct ArchiveSource;
struct ArchiveSourceCloser {
    void operator()(ArchiveSource* source) const;
};
using ArchiveSourcePtr = std::unique_ptr<ArchiveSource, ArchiveSourceCloser>;

class ArchiveFile {
public:
    // Opens `path` (UTF-8) read-only; check ok().
    explicit ArchiveFile(const std::string& path);
    // The callbacks point at this object.
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;
    bool ok() const { return source_ != nullptr; }
    // A new minizip handle on the archive (nullptr when minizip cannot read
    // it). The ArchiveFile must outlive it.
    unzFile OpenHandle();

private:
    ArchiveSourcePtr source_;
    zlib_filefunc64_def functions_{};
};

}  // namespace tavlin::unpack
