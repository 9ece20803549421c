#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "unpack/EntryMeta.h"
#include "zip_builder.h"

namespace {

using tavlin::unpack::AttributesFromZip;
using tavlin::unpack::TimesFromZip;
namespace host = tavlin_test::zip_host;

uint16_t MadeBy(uint8_t h) { return static_cast<uint16_t>((h << 8) | 20); }

TEST(EntryMeta, AttributesByHost) {
    struct Case {
        const char* what;
        uint8_t host;
        uint32_t attributes;
        bool directory, readOnly, symlink;
        mode_t mode;
    };
    const Case cases[] = {
        {"DOS plain", host::kDos, 0x20, false, false, false, 0644},
        {"DOS read-only", host::kDos, 0x21, false, true, false, 0444},
        {"DOS directory", host::kDos, 0x10, true, false, false, 0644},
        {"Macintosh read-only", host::kMac, 0x01, false, true, false, 0444},
        // DOS hosts read only the low byte, whatever the high bits hold.
        {"NTFS with Unix bits", host::kNtfs, (0100755u << 16) | 0x01, false, true, false, 0444},
        {"VFAT directory", host::kVfat, 0x10, true, false, false, 0644},
        {"Unix 0644", host::kUnix, 0100644u << 16, false, false, false, 0644},
        {"Unix 0755", host::kUnix, 0100755u << 16, false, false, false, 0755},
        {"Unix 0444", host::kUnix, 0100444u << 16, false, true, false, 0444},
        {"Unix setuid dropped", host::kUnix, 0104755u << 16, false, false, false, 0755},
        {"Unix directory", host::kUnix, (040755u << 16) | 0x10, true, false, false, 0755},
        {"Unix link", host::kUnix, 0120777u << 16, false, false, true, 0777},
        {"Unix, empty mode", host::kUnix, 0, false, false, false, 0644},
        {"OS X 0700", host::kOsx, 0100700u << 16, false, false, false, 0700},
        // Not a DOS host: the low-byte directory bit means nothing.
        {"OS X, DOS bit only", host::kOsx, (0100644u << 16) | 0x10, false, false, false, 0644},
    };
    for (const Case& c : cases) {
        const auto a = AttributesFromZip(MadeBy(c.host), c.attributes);
        EXPECT_EQ(a.directory, c.directory) << c.what;
        EXPECT_EQ(a.readOnly, c.readOnly) << c.what;
        EXPECT_EQ(a.symlink, c.symlink) << c.what;
        EXPECT_EQ(a.mode, c.mode) << c.what;
    }
}

const uint32_t kSummerNoon = tavlin_test::DosDateTime(2020, 6, 15, 12, 30, 0);

TEST(EntryMeta, ExtendedTimestampsReplaceDosTime) {
    // Whatever the time zone: only what replaces the DOS time matters here.
    const std::time_t d = tavlin::unpack::DosDateTimeToUtc(kSummerNoon);
    const std::string ntfs = tavlin_test::ExtraBlock(0x000a, std::string(32, '\x01'));
    std::string truncated = tavlin_test::UtExtraField(7, {100, 200, 300});
    truncated.resize(truncated.size() - 2);
    struct Case {
        const char* what;
        std::string extra;
        std::time_t m, a, c;
    };
    const Case cases[] = {
        {"none", "", d, d, d},
        {"modification", tavlin_test::UtExtraField(1, {100}), 100, d, d},
        {"modification and access", tavlin_test::UtExtraField(3, {100, 200}), 100, 200, d},
        {"all three", tavlin_test::UtExtraField(7, {100, 200, 300}), 100, 200, 300},
        {"after another block", ntfs + tavlin_test::UtExtraField(2, {200}), d, 200, d},
        {"central-record form: flags 7, one time", tavlin_test::UtExtraField(7, {100}), 100, d, d},
        {"block runs past the field", truncated, d, d, d},
        {"other block only", ntfs, d, d, d},
        {"time past 2038", tavlin_test::UtExtraField(1, {0xF0000000u}), 0xF0000000, d, d},
    };
    for (const Case& c : cases) {
        const auto t = TimesFromZip(kSummerNoon, reinterpret_cast<const unsigned char*>(c.extra.data()),
                                    c.extra.size());
        EXPECT_EQ(t.modification, c.m) << c.what;
        EXPECT_EQ(t.access, c.a) << c.what;
        EXPECT_EQ(t.creation, c.c) << c.what;
    }
}

}  // namespace
