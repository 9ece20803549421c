#include "unpack/EntryMeta.h"

#include <cstring>

namespace tavlin::unpack {

namespace {

constexpr uint32_t kDosReadOnly = 0x01;
constexpr uint32_t kDosDirectory = 0x10;
constexpr uint16_t kTagExtendedTime = 0x5455;  // "UT"
// A zip entry's Unix mode uses Unix's own type bits, whatever builds it.
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymlink = 0120000;

bool IsDosHost(unsigned host) { return host == 0 || host == 7 || host == 11 || host == 14; }

uint32_t ReadLe(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

// Hidden, system and archive bits have no meaning for a Linux file and are
// ignored. Setuid, setgid and sticky bits are never taken from a package.
EntryAttributes AttributesFromZip(uint16_t versionMadeBy, uint32_t externalAttributes) {
    EntryAttributes a;
    if (IsDosHost(versionMadeBy >> 8)) {
        a.directory = (externalAttributes & kDosDirectory) != 0;
        a.readOnly = (externalAttributes & kDosReadOnly) != 0;
        a.mode = a.readOnly ? 0444 : 0644;
        return a;
    }
    const mode_t unixMode = externalAttributes >> 16;
    a.directory = (externalAttributes & 0x40000000u) != 0;
    a.readOnly = (externalAttributes & 0x00800000u) == 0;
    a.symlink = (unixMode & kUnixTypeMask) == kUnixSymlink;
    a.mode = unixMode & 0777;
    a.unixMode = a.mode != 0;
    // Some writers leave the mode empty; such a file would be unreadable.
    if (a.mode == 0) {
        a.mode = 0644;
        a.readOnly = false;
    }
    return a;
}

bool LooksExecutable(const char* head, std::size_t size) {
    return (size >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) ||
           (size >= 2 && head[0] == '#' && head[1] == '!');
}

mode_t FileModeFor(const EntryAttributes& attributes, const mode_t* existingMode, bool looksExecutable,
                   mode_t umask) {
    if (attributes.unixMode) return attributes.mode & ~umask & 0777;
    if (existingMode) return *existingMode & 0777;
    mode_t mode = attributes.mode;
    if (looksExecutable) mode |= (mode & 0444) >> 2;  // x wherever r
    return mode & ~umask & 0777;
}

std::time_t DosDateTimeToUtc(uint32_t dosDateTime) {
    std::tm t{};
    t.tm_year = static_cast<int>((dosDateTime >> 25) & 0x7f) + 80;
    t.tm_mon = static_cast<int>((dosDateTime >> 21) & 0x0f) - 1;
    t.tm_mday = static_cast<int>((dosDateTime >> 16) & 0x1f);
    t.tm_hour = static_cast<int>((dosDateTime >> 11) & 0x1f);
    t.tm_min = static_cast<int>((dosDateTime >> 5) & 0x3f);
    t.tm_sec = static_cast<int>(dosDateTime & 0x1f) * 2;
    t.tm_isdst = -1;
    const std::time_t utc = std::mktime(&t);
    return utc == static_cast<std::time_t>(-1) ? 0 : utc;
}

EntryTimes TimesFromZip(uint32_t dosDateTime, const unsigned char* extra, std::size_t extraSize) {
    const std::time_t dos = DosDateTimeToUtc(dosDateTime);
    EntryTimes times{dos, dos, dos};
    std::size_t pos = 0;
    while (extra && pos + 4 <= extraSize) {
        const uint16_t tag = static_cast<uint16_t>(ReadLe(extra + pos, 2));
        const std::size_t size = ReadLe(extra + pos + 2, 2);
        const unsigned char* block = extra + pos + 4;
        if (pos + 4 + size > extraSize) break;
        if (tag == kTagExtendedTime && size >= 1) {
            const unsigned flags = block[0];
            std::size_t at = 1;
            std::time_t* slots[] = {&times.modification, &times.access, &times.creation};
            for (int bit = 0; bit < 3; ++bit) {
                if (!(flags & (1u << bit))) continue;
                if (at + 4 > size) break;
                *slots[bit] = static_cast<std::time_t>(ReadLe(block + at, 4));
                at += 4;
            }
        }
        pos += 4 + size;
    }
    return times;
}

}  // namespace tavlin::unpack
