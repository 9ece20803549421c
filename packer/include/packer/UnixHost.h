// minizip writes the central record of an entry that needs Zip64 fields
// (4 GiB of data, or a place past 4 GiB in the archive) as made on MS-DOS,
// whatever host it was asked for. The launcher then reads the entry's DOS
// attribute byte instead of its Unix mode: a program would lose its execute
// bit and a link would arrive as a file holding its target.
#pragma once

#include <cstddef>
#include <string>

namespace tavlin::packer {

// Sets every central record of the finished archive at `zipPath` that does
// not name the Unix host back to VersionMadeBy(true); `mended` gets their
// number. False with `error` when the archive cannot be read or written.
bool RestoreUnixHost(const std::string& zipPath, std::size_t& mended, std::string& error);

}  // namespace tavlin::packer
