#include <gtest/gtest.h>

#include <string>

#include "LaunchText.h"
#include "platform/text.h"

namespace {

using namespace launcher;

TEST(LaunchText, ParameterTextFromCommandLine) {
    struct Case {
        std::u16string commandLine;
        std::optional<std::u16string> url;  // hand-over road
        std::u16string start;               // start road
    };
    const Case cases[] = {
        {u"tavlin://abc", u"/abc", u"/abc"},
        {u"\"tavlin://abc\"", u"/abc\"", u"/abc\""},
        {u"\"tavlin://room?id=7\"", u"/room?id=7\"", u"/room?id=7\""},
        {u"TAVLIN://abc", std::nullopt, u"TAVLIN://abc"},
        {u"--flag value", std::nullopt, u"--flag value"},
        {u"-x tavlin://a tavlin://b", u"/a tavlin://b", u"/a tavlin://b"},
        {u"tavlin://", u"/", u"/"},
        {u"tavlin:/abc", std::nullopt, u"tavlin:/abc"},
        {u"", std::nullopt, u""},
    };
    for (const Case& c : cases) {
        const std::string shown = platform::Utf16ToUtf8(c.commandLine);
        EXPECT_EQ(UrlParameterText(c.commandLine), c.url) << shown;
        EXPECT_EQ(StartParameterText(c.commandLine), c.start) << shown;
    }
}

TEST(LaunchText, RegistrationCommandFitsItsLimit) {
    EXPECT_EQ(RegistrationCommand("/opt/tavlin/TavlinLaunch.exe"), "\"/opt/tavlin/TavlinLaunch.exe\" %u");
    // Characters the desktop entry reserves are escaped inside the quotes.
    EXPECT_EQ(RegistrationCommand("/opt/a \"b\"/$x/TavlinLaunch.exe"),
              "\"/opt/a \\\"b\\\"/\\$x/TavlinLaunch.exe\" %u");

    // 252 wide characters are the most that fit; wide characters count, not bytes.
    const std::string ascii252 = "/" + std::string(251, 'a');
    EXPECT_TRUE(RegistrationCommand(ascii252));
    EXPECT_FALSE(RegistrationCommand(ascii252 + "b"));
    std::string wide252 = "/";
    for (int i = 0; i < 251; ++i) wide252 += "中";
    EXPECT_TRUE(RegistrationCommand(wide252));
    EXPECT_FALSE(RegistrationCommand(wide252 + "中"));
}

TEST(LaunchText, PipeMessageIsTextAndNulWithinTheLimit) {
    EXPECT_EQ(PipeMessage(u"/abc\""), std::string("/abc\"\0", 6));
    EXPECT_EQ(PipeMessage(u""), std::string(1, '\0'));
    EXPECT_EQ(PipeMessage(u"/中"), std::string("/中\0", 5));
    // An unpaired surrogate becomes "?", as the system's default character.
    EXPECT_EQ(PipeMessage(std::u16string(u"/a") + char16_t(0xDC00)), std::string("/a?\0", 4));

    const std::u16string longest(kPipeMessageBytes - 1, u'a');
    ASSERT_TRUE(PipeMessage(longest));
    EXPECT_EQ(PipeMessage(longest)->size(), kPipeMessageBytes);
    EXPECT_FALSE(PipeMessage(longest + u"a"));
    // The limit is in bytes of the narrow text: 3 bytes per Chinese character.
    EXPECT_TRUE(PipeMessage(std::u16string(kPipeMessageBytes / 3, u'中')));
    EXPECT_FALSE(PipeMessage(std::u16string(kPipeMessageBytes / 3 + 1, u'中')));
}

TEST(LaunchText, QuestionLanguage) {
    EXPECT_EQ(RunningClientQuestion(2052).text, u"检测到程序正在运行，是否重新打开!");
    EXPECT_EQ(RunningClientQuestion(2052).caption, u"提示");
    for (uint16_t other : {1033, 1028, 1031, 0}) {
        EXPECT_EQ(RunningClientQuestion(other).text, u"Another program is already in progress, start new one?");
        EXPECT_EQ(RunningClientQuestion(other).caption, u"Prompt");
    }
}

}  // namespace
