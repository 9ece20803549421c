// Text conversion and the COM server path (its registration:
// register_server_dll_test.cpp).
#include <string>

#include <gtest/gtest.h>

#include "app/zebUtil.h"

namespace {

TEST(ModuleUtil, TextConvertsBetweenUtf16AndUtf8) {
    struct Case {
        std::u16string wide;
        std::string narrow;
    };
    const Case cases[] = {
        {u"", ""},
        {u"update.zip", "update.zip"},
        {u"\u60a8\u7684\u5ba2\u6237\u7aef", "\xe6\x82\xa8\xe7\x9a\x84\xe5\xae\xa2\xe6\x88\xb7\xe7\xab\xaf"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zeb::ToNarrow(c.wide), c.narrow);
        EXPECT_EQ(zeb::ToWide(c.narrow), c.wide);
    }
    // No narrow form: the unit becomes the default character.
    EXPECT_EQ(zeb::ToNarrow(u"a\xd800" u"b"), "a?b");
    EXPECT_EQ(zeb::ToWide("a\xff" "b"), u"a\ufffd" u"b");
}

TEST(ModuleUtil, InstallDllPathIsBesideTheFolder) {
    EXPECT_EQ(zeb::GetInstallDllPath(u"/A/B/temp/"), u"/A/B/temp/InstallZebApp.dll");
    EXPECT_EQ(zeb::GetInstallDllPath(u""), u"InstallZebApp.dll");
}

}  // namespace
