// One file, link or folder of a tree being packed, as the package records it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavlin::packer {

enum class EntryKind { Folder, File, Link };

struct TreeEntry {
    std::string path;  // relative to the tree, "/" between folders, no trailing "/"
    EntryKind kind = EntryKind::File;
    mode_t mode = 0;    // permission bits and setuid/setgid/sticky (07777)
    int64_t mtime = 0;  // seconds since 1970, UTC
    uint64_t size = 0;  // files: bytes of data
    std::string linkTarget;
    // Files: the inode's change time as scanned (nanoseconds), so that a
    // file written to while it is packed is noticed; 0: not checked.
    int64_t changeTimeNs = 0;

    // The name in the package: folders end in "/".
    std::string ZipName() const { return kind == EntryKind::Folder ? path + "/" : path; }
};

// The change time of a file's inode in nanoseconds; any write moves it.
inline int64_t ChangeTimeNs(const struct stat& st) {
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
}

// Sorts by package name, byte by byte, so that a folder comes before what
// it holds and the order does not depend on the locale or the file system.
void SortByZipName(std::vector<TreeEntry>& entries);

}  // namespace tavlin::packer
