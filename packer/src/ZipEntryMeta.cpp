#include "packer/ZipEntryMeta.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

namespace tavlin::packer {

namespace {

constexpr uint16_t kHostUnix = 3;
constexpr uint32_t kDosFolder = 0x10;
constexpr uint16_t kTagExtendedTime = 0x5455;
constexpr uint16_t kUtf8Names = 0x0800;

}  // namespace

uint16_t VersionMadeBy(bool zip64) { return static_cast<uint16_t>(kHostUnix << 8 | (zip64 ? 45 : 20)); }

bool NeedsZip64(uint64_t size) {
    // Stored blocks cost 5 bytes per 16 KiB at worst, and each 1 MiB piece a
    // flush marker: well under one byte in a thousand.
    return size + size / 1024 + 65536 >= 0xFFFFFFFFull;
}

uint32_t ExternalAttributes(const TreeEntry& e) {
    mode_t type = S_IFREG;
    if (e.kind == EntryKind::Folder) type = S_IFDIR;
    if (e.kind == EntryKind::Link) type = S_IFLNK;
    // A link's own permission bits mean nothing on Linux; 0777 is what one reads.
    const mode_t bits = e.kind == EntryKind::Link ? 0777 : (e.mode & 0777);
    const uint32_t attributes = static_cast<uint32_t>(type | bits) << 16;
    return e.kind == EntryKind::Folder ? attributes | kDosFolder : attributes;
}

uint32_t DosDateTime(int64_t utcSeconds) {
    // 1980-01-01 00:00:00 and 2107-12-31 23:59:58 UTC.
    const int64_t seconds = std::clamp<int64_t>(utcSeconds, 315532800ll, 4354819198ll);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    const uint32_t date = static_cast<uint32_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    const uint32_t time = static_cast<uint32_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    return date << 16 | time;
}

std::string ExtendedTimeField(uint32_t mtime) {
    std::string field;
    auto put16 = [&](uint16_t v) {
        field += static_cast<char>(v & 0xff);
        field += static_cast<char>(v >> 8);
    };
    put16(kTagExtendedTime);
    put16(5);
    field += '\x01';  // flags: modification time present
    put16(static_cast<uint16_t>(mtime & 0xffff));
    put16(static_cast<uint16_t>(mtime >> 16));
    return field;
}

uint16_t NameFlags(const std::string& name) {
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? 0 : kUtf8Names;
}

}  // namespace tavlin::packer
