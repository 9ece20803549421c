// The journal's text read back and written, and log text made printable:
// the same on every platform.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "unpack/Journal.h"
#include "unpack/Printable.h"

namespace {

using tavlin::unpack::ParseJournal;
using tavlin::unpack::Printable;

TEST(Journal, ParsesWhatARunWroteAndNothingElse) {
    const std::string head = "tavlin-journal 1\n";
    const std::string records = "D bin\nD bin/x%20y\nF bin/.a.tavlin-abc123 bin/a\nF .b%0A.tavlin-zzzzzz b%0A\n";
    struct Case {
        const char* what;
        std::string text;
        std::size_t folders, files;
        bool committed;
    };
    const Case cases[] = {
        {"staging", head + records, 2, 2, false},
        {"committed", head + records + "C 2\n", 2, 2, true},
        {"commit record cut by a kill", head + records + "C 2", 2, 2, false},
        {"commit count that does not match", head + records + "C 3\n", 2, 2, false},
        {"file record cut by a kill", head + "F bin/.a.tavlin-abc123 bin", 0, 0, false},
        {"another format", "tavlin-journal 2\n" + records + "C 2\n", 0, 0, false},
        {"empty", "", 0, 0, false},
        {"climbing out", head + "F ../.a.tavlin-abc123 ../a\nC 1\n", 0, 0, false},
        {"staged file not beside its target", head + "F x/.a.tavlin-abc123 y/a\nC 1\n", 0, 0, false},
        {"staged name without the marker", head + "F keep.txt a\nC 1\n", 0, 0, false},
        {"bad escape", head + "D bin%2\nC 0\n", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto content = ParseJournal(c.text);
        EXPECT_EQ(content.folders.size(), c.folders);
        EXPECT_EQ(content.files.size(), c.files);
        EXPECT_EQ(content.committed, c.committed);
    }
    const auto content = ParseJournal(head + records);
    EXPECT_EQ(content.folders[1], "bin/x y");
    EXPECT_EQ(content.files[1].target, "b\n");
}

TEST(Journal, PathsSurviveTheRoundTrip) {
    for (const std::string& path : std::vector<std::string>{"plain/name.dll", "with space/and%percent", std::string("ctl\x01\x7f\n\t", 7),
                                   "中文/文件.txt"}) {
        std::string back;
        const std::string encoded = tavlin::unpack::EncodeJournalPath(path);
        EXPECT_EQ(encoded.find_first_of(" \n\t"), std::string::npos) << encoded;
        ASSERT_TRUE(tavlin::unpack::DecodeJournalPath(encoded, back));
        EXPECT_EQ(back, path);
    }
}

TEST(Printable, ControlCharactersAreEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain/name.dll", "plain/name.dll"},
        {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"del\x7f", "del\\x7f"},
        {"c1 \xc2\x85 next line", "c1 \\xc2\\x85 next line"},
        {"line\xe2\x80\xa8sep", "line\\xe2\\x80\\xa8sep"},
        {"中文 \xc2\xa0 nbsp", "中文 \xc2\xa0 nbsp"},
        {"overlong \xc0\x8a and CSI \x9b" "2J", "overlong \\xc0\\x8a and CSI \\x9b2J"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Printable(in), out);
}

}  // namespace
