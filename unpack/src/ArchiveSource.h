// The file layer under ArchiveFile: the archive opened read-only, its size,
// and reads at an offset that leave no shared position behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "unpack/ArchiveFile.h"

namespace tavlin::unpack {

// Nothing when the file cannot be opened.
ArchiveSourcePtr OpenArchiveSource(const std::string& path);
bool ArchiveSourceSize(ArchiveSource& source, uint64_t& size);
// Reads up to `size` bytes at `at` into `out`; `got` short only at the end
// of the file. False on a read error.
bool ArchiveSourceRead(ArchiveSource& source, char* out, std::size_t size, uint64_t at, std::size_t& got);

}  // namespace tavlin::unpack
