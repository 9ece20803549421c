// What a zip entry's attributes and times mean for the file written from it.
// Pure functions; any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace tavlin::unpack {

struct EntryAttributes {
    bool directory = false;
    bool readOnly = false;
    bool symlink = false;  // Unix hosts only: file type S_IFLNK
    // The entry carries a Unix mode of its own (a Unix-style host with
    // permission bits set); otherwise `mode` is only a default.
    bool unixMode = false;
    mode_t mode = 0644;    // permission bits for a file (before the umask)
};

// Hosts 0, 7, 11 and 14 (MS-DOS, Macintosh, NTFS, VFAT) keep DOS bits in the
// low byte; every other host keeps a Unix mode in the high 16 bits.
// `versionMadeBy` is the whole field; its high byte is the host.
EntryAttributes AttributesFromZip(uint16_t versionMadeBy, uint32_t externalAttributes);

// Whether a file's first bytes make it a program: an ELF header or "#!".
bool LooksExecutable(const char* head, std::size_t size);

// The permission bits a file written from an entry gets. An entry with a
// Unix mode keeps it (less the umask). Otherwise an existing file keeps its
// bits, so a package made on Windows does not strip the execute bit of the
// programs it replaces; a new file gets the entry's default, executable
// when its data looks like a program.
mode_t FileModeFor(const EntryAttributes& attributes, const mode_t* existingMode, bool looksExecutable,
                   mode_t umask);

struct EntryTimes {
    std::time_t modification = 0;
    std::time_t access = 0;
    std::time_t creation = 0;
};

// A DOS date and time (date in the high 16 bits) read as local time, in UTC
// seconds since 1970.
std::time_t DosDateTimeToUtc(uint32_t dosDateTime);

// The DOS time for all three, replaced by each time an extended-timestamp
// ("UT") block of the extra field holds. A block that runs past the end of
// the field is ignored; inside a block only times that are wholly present
// count.
EntryTimes TimesFromZip(uint32_t dosDateTime, const unsigned char* extra, std::size_t extraSize);

}  // namespace tavlin::unpack
