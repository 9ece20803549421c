// The fields of a zip entry that carry a tree entry's type, mode and time,
// written so that the launcher applies them and the same tree always gives
// the same bytes. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "packer/TreeEntry.h"

namespace tavlin::packer {

// Entries are made on a Unix host (3), to version 2.0 of the format, or
// 4.5 when the entry needs Zip64.
uint16_t VersionMadeBy(bool zip64);

// Whether a file of `size` bytes needs Zip64 fields in its local header,
// which must be chosen before its data is written: deflate grows data it
// cannot shrink by a few bytes per block, so a file somewhat under 4 GiB may
// still take more than 4 GiB in the package.
bool NeedsZip64(uint64_t size);

// The Unix type and mode in the high 16 bits; folders also carry the DOS
// folder bit, for readers that look only at the low byte.
uint32_t ExternalAttributes(const TreeEntry& entry);

// The DOS date and time of `utcSeconds` read in UTC (never the local zone,
// so the package does not depend on where it was made), held to the range
// DOS can express, 1980 to 2107.
uint32_t DosDateTime(int64_t utcSeconds);

// An extended-timestamp ("UT") extra block holding the modification time
// only, for both the local and the central header.
std::string ExtendedTimeField(uint32_t mtime);

// General-purpose flag: names that are not plain ASCII are marked UTF-8.
uint16_t NameFlags(const std::string& name);

}  // namespace tavlin::packer
