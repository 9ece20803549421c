#include <gtest/gtest.h>

#include <string>

#include "unpack/EntryName.h"

namespace {

using tavlin::unpack::CleanEntryName;
using tavlin::unpack::EntryPathFromName;
using tavlin::unpack::LinkTargetInsideRoot;

TEST(EntryName, CleaningRules) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"C:\\x\\a.txt", u"x\\a.txt"},
        {u"/abs/b.txt", u"abs/b.txt"},
        {u"sub/../c.txt", u"c.txt"},
        {u"a/../../../y.dll", u"y.dll"},
        {u"\\\\server\\share\\s.txt", u"server\\share\\s.txt"},
        {u"C:/D:\\/e.txt", u"e.txt"},              // drive, slash, drive, both separators
        {u"a\\..\\b/../c", u"c"},                  // one pattern after another
        {u"x\\../y", u"y"},
        {u"x/..\\y", u"y"},
        {u"../x.dll", u"../x.dll"},                // no separator before the first ".."
        {u"..\\x", u"..\\x"},
        {u"中:文/件.txt", u"文/件.txt"},          // a wide first character before ':'
        {u"plain/name.txt", u"plain/name.txt"},
        {u"", u""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(CleanEntryName(in), out) << testing::PrintToString(in);
}

TEST(EntryName, PlacesBelowTheRootOrRefuses) {
    struct Case {
        std::string stored;
        std::optional<std::string> joined;  // nothing: refused
        bool endsWithSeparator = false;
    };
    const Case cases[] = {
        {"bin/tool.dll", "bin/tool.dll"},
        {"C:\\x\\a.txt", "x/a.txt"},
        {"a/../../../y.dll", "y.dll"},
        {"a/./b//c.txt", "a/b/c.txt"},
        {"a/b/..", "a"},
        {"logs/", "logs", true},
        {"logs\\", "logs", true},
        {"中文/文件.txt", "中文/文件.txt"},
        {"../x.dll", std::nullopt},
        {"..\\x", std::nullopt},
        {"a/../../x", std::nullopt},
        {"..", std::nullopt},
        {std::string("a\0b.txt", 7), std::nullopt},
        {"bad\xff.txt", "bad\xef\xbf\xbd.txt"},  // invalid UTF-8 becomes U+FFFD
    };
    for (const Case& c : cases) {
        const auto path = EntryPathFromName(c.stored);
        ASSERT_EQ(path.has_value(), c.joined.has_value()) << c.stored;
        if (!path) continue;
        EXPECT_EQ(path->Joined(), *c.joined) << c.stored;
        EXPECT_EQ(path->endsWithSeparator, c.endsWithSeparator) << c.stored;
    }
}

TEST(EntryName, LongNamesAreKeptWhole) {
    const std::string a(200, 'a'), b(200, 'b');
    const auto path = EntryPathFromName(a + "/" + b + "/file.txt");
    ASSERT_TRUE(path);
    ASSERT_EQ(path->components.size(), 3u);
    EXPECT_EQ(path->components[0], a);
    EXPECT_EQ(path->components[1], b);
    EXPECT_EQ(path->components[2], "file.txt");
}

TEST(EntryName, LinkTargets) {
    struct Case {
        std::vector<std::string> folder;
        std::string target;
        bool inside;
    };
    const Case cases[] = {
        {{}, "tool.dll", true},
        {{"bin"}, "../README", true},
        {{"a", "b"}, "../../c/d", true},
        {{"bin"}, "./x/y", true},
        {{}, "../x", false},
        {{"bin"}, "../../x", false},
        {{}, "/etc/passwd", false},
        {{}, "", false},
        {{}, "x/..", false},        // climbs out of whatever x really is
        {{"d"}, "x/../../y", false},
        {{}, std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) EXPECT_EQ(LinkTargetInsideRoot(c.folder, c.target), c.inside) << c.target;
}

// Names Windows cannot hold, and names close to them that it can.
TEST(EntryName, NamesWindowsCannotHold) {
    const std::pair<std::string, bool> cases[] = {
        {"CON", false},        {"con.txt", false},   {"Nul", false},        {"aux .log", false},
        {"COM1", false},       {"lpt9.dat", false},  {"COM\xc2\xb9", false}, {"CONOUT$", false},
        {"name.", false},      {"name ", false},     {"a<b", false},        {"a>b", false},
        {"a:b", false},        {"a\"b", false},      {"a|b", false},        {"a?b", false},
        {"a*b", false},        {"tab\tname", false}, {"CONFIG.SYS", true},  {"console", true},
        {"COM10", true},       {"LPT", true},        {"nul2.txt", true},    {".hidden", true},
        {"\xe4\xb8\xad\xe6\x96\x87", true},      {"a b.c", true},
    };
    for (const auto& [name, holds] : cases)
        EXPECT_EQ(tavlin::unpack::WindowsNameProblem(name).empty(), holds) << name;
    // At most 255 UTF-16 units, however many bytes they take in UTF-8.
    std::string chinese;
    for (int i = 0; i < 255; ++i) chinese += "\xe4\xb8\xad";
    EXPECT_TRUE(tavlin::unpack::WindowsNameProblem(chinese).empty());
    EXPECT_FALSE(tavlin::unpack::WindowsNameProblem(chinese + "a").empty());
    EXPECT_FALSE(tavlin::unpack::WindowsNameProblem(std::string(256, 'n')).empty());
}

}  // namespace
