// Command-line texts and the switches they yield.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/CmdLineParser.h"
#include "app/zebUtil.h"

namespace {

struct Case {
    std::u16string text;
    // Lookups and their results; nullopt: the key is absent.
    std::vector<std::pair<std::u16string, std::optional<std::u16string>>> lookups;
};

std::string Show(std::u16string_view text) { return zeb::ToNarrow(text); }

TEST(CmdLineParser, TableOfCommandLines) {
    const std::optional<std::u16string> absent;
    const Case cases[] = {
        {u"-url=h/p/update.zip -md5=0F1E", {{u"url", u"h/p/update.zip"}, {u"md5", u"0F1E"}}},
        {u"-URL=x", {{u"Url", u"x"}, {u"url", u"x"}, {u"URL", u"x"}}},
        {u"-url=x -prompt=\"New version*Fixes a  b*\" -md5=m",
         {{u"prompt", u"New version*Fixes a  b*"}, {u"url", u"x"}, {u"md5", u"m"}}},
        {u"-prompt=\"never closed -url=x", {{u"prompt", u"never closed -url=x"}, {u"url", absent}}},
        {u"-url=a -url=b -URL=c", {{u"url", u"a"}}},
        {u"-forcedupdate=", {{u"forcedupdate", u""}}},
        {u"-forcedupdate= -newver=2", {{u"forcedupdate", u""}, {u"newver", u"2"}}},
        {u"-silent -url=x", {{u"silent -url", u"x"}, {u"url", absent}, {u"silent", absent}}},
        {u"-=x", {{u"", absent}, {u"x", absent}}},
        {u"-=x -a=1", {{u"a", u"1"}}},
        {u"abc-url=x", {{u"url", u"x"}, {u"abc-url", absent}}},
        {u"-pagecallparam=a=1&b=-2", {{u"pagecallparam", u"a=1&b=-2"}, {u"2", absent}}},
        {u"no switches here", {{u"no switches here", absent}}},
        {u"", {{u"", absent}, {u"url", absent}}},
        {u"text ending in -", {{u"", absent}}},
        {u"-flag", {{u"flag", u""}}},
        {u"-url=x -flag", {{u"url", u"x"}, {u"flag", u""}}},
        {u"-a=", {{u"a", u""}}},
        {u"-=", {{u"", absent}}},
        // Only the space ends a value; a tab has no role.
        {u"-url=x\t-md5=y", {{u"url", u"x\t-md5=y"}, {u"md5", absent}}},
        {u"-a=1  -b=2", {{u"a", u"1"}, {u"b", u"2"}}},
        {u"-a= 1", {{u"a", u""}}},
        {u"-a=\"\" -b=2", {{u"a", u""}, {u"b", u"2"}}},
        {u"-a=\"", {{u"a", u""}}},
        {u"-a=\"x\"y -b=2", {{u"a", u"x"}, {u"b", u"2"}}},
        {u"-a=x\"y -b=\"q\"", {{u"a", u"x\"y"}, {u"b", u"q"}}},
        {u"-a=b=c", {{u"a", u"b=c"}}},
        {u"--x=1", {{u"-x", u"1"}, {u"x", absent}}},
        {u"-a b=1", {{u"a b", u"1"}}},
        // Only A-Z are folded; other letters keep their case.
        {u"-\u00C4B=1", {{u"\u00C4b", u"1"}, {u"\u00C4B", u"1"}, {u"\u00E4b", absent}}},
        {u"-prompt=\"\u60a8\u7684 \u5ba2\u6237\u7aef\"", {{u"prompt", u"\u60a8\u7684 \u5ba2\u6237\u7aef"}}},
    };
    for (const Case& c : cases) {
        CCmdLineParser parser(c.text);
        for (const auto& [key, expected] : c.lookups) {
            const std::u16string* value = parser.GetValue(key);
            if (!expected) {
                EXPECT_EQ(value, nullptr) << "text [" << Show(c.text) << "] key [" << Show(key) << "] = ["
                                          << Show(value ? *value : u"") << "]";
            } else if (!value) {
                ADD_FAILURE() << "text [" << Show(c.text) << "] key [" << Show(key) << "] absent";
            } else {
                EXPECT_EQ(*value, *expected) << "text [" << Show(c.text) << "] key [" << Show(key) << "]";
            }
        }
    }
}

TEST(CmdLineParser, ParseReplacesTheTable) {
    CCmdLineParser parser;
    EXPECT_EQ(parser.GetValue(u"url"), nullptr);
    parser.Parse(u"-url=a -md5=b");
    ASSERT_NE(parser.GetValue(u"md5"), nullptr);
    parser.Parse(u"-url=c");
    ASSERT_NE(parser.GetValue(u"url"), nullptr);
    EXPECT_EQ(*parser.GetValue(u"url"), u"c");
    EXPECT_EQ(parser.GetValue(u"md5"), nullptr);
}

TEST(CmdLineParser, ArgumentsJoinWithSingleSpaces) {
    const char* argv[] = {"/x/Updater.exe", "-url=a", "-prompt=\"two", "words\"", ""};
    EXPECT_EQ(CommandLineFromArgs(4, argv), u"-url=a -prompt=\"two words\"");
    EXPECT_EQ(CommandLineFromArgs(5, argv), u"-url=a -prompt=\"two words\" ");
    EXPECT_EQ(CommandLineFromArgs(1, argv), u"");
    const char* chinese[] = {"p", "-newver=\xe7\x89\x88"};
    EXPECT_EQ(CommandLineFromArgs(2, chinese), u"-newver=\u7248");
}

}  // namespace
