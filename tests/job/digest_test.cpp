// The package digest: OpenSSL MD5 of a file and the comparison rule.
#include <gtest/gtest.h>

#include <fstream>

#include "download/DownloadDigest.h"
#include "temp_dir.h"

TEST(Md5OfFile, KnownDigestsAndUnreadableFiles) {
    tavlin_test::TempDir dir("tavlin-md5-");
    std::ofstream(dir / "abc") << "abc";
    std::ofstream(dir / "empty");
    // Larger than one read, so the pieces are joined correctly.
    std::ofstream(dir / "big") << std::string(3 * 1024 * 1024 + 5, 'a');

    EXPECT_EQ(Md5OfFile(dir / "abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5OfFile(dir / "empty"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5OfFile(dir / "big"), "902bc2de25c939532f3ac35ac514222a");
    EXPECT_EQ(Md5OfFile(dir / "missing"), "");
    EXPECT_EQ(Md5OfFile(dir.path()), "") << "a folder opens but cannot be read";
}

TEST(DigestMatches, CaseAndEmptyTexts) {
    const std::string real = "900150983cd24fb0d6963f7d28e17f72";
    struct Case {
        std::string computed, expected;
        bool match;
    } cases[] = {
        {real, real, true},
        {real, "900150983CD24FB0D6963F7D28E17F72", true},
        {real, "900150983Cd24fB0d6963f7D28e17F72", true},
        {real, "", false},
        {"", "", false},  // an unreadable package against no digest
        {real, real.substr(1), false},
        {real, real + "0", false},
        {real, "900150983cd24fb0d6963f7d28e17f73", false},
        // Only ASCII letters fold: no other byte pairs up.
        {"[", "{", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DigestMatches(c.computed, c.expected), c.match) << c.computed << " vs " << c.expected;
}
