// Writes the zip archive of a package: the given entries in their order,
// file data deflated on worker threads, the same entries always giving the
// same bytes.
#pragma once

#include <string>
#include <vector>

#include "packer/TreeEntry.h"

namespace tavlin::packer {

// Writes `entries` (of the tree open as `rootFd`) to a new archive at
// `zipPath`, compressing on `threads` threads. False with `error` when a
// file cannot be read as scanned or the archive cannot be written; the
// caller removes what was written then.
bool WritePackage(int rootFd, const std::vector<TreeEntry>& entries, const std::string& zipPath, unsigned threads,
                  std::string& error);

}  // namespace tavlin::packer
