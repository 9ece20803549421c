// The job record from the command line: folder rules and value readings
// (the record logged at start-up: job_params_probe_test.cpp).
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "app/UpdaterApp.h"
#include "app/zebUtil.h"
#include "log_root.h"
#include "temp_dir.h"

namespace {

TEST(JobParams, PathsFollowTheProgramFolder) {
    struct Case {
        std::u16string moduleDir;
        const char* zipPath;
        const char* launcherPath;
        const char* extractDir;
    };
    const Case cases[] = {
        {u"/A/B/temp/", "/A/B/temp/update.zip", "/A/B/TavlinLaunch.exe", "/A/"},
        {u"/home/u/\u8bfe\u7a0b/temp/", "/home/u/\xe8\xaf\xbe\xe7\xa8\x8b/temp/update.zip",
         "/home/u/\xe8\xaf\xbe\xe7\xa8\x8b/TavlinLaunch.exe", "/home/u/"},
        {u"/A/temp/", "/A/temp/update.zip", "/A/TavlinLaunch.exe", "/"},
        {u"/A/", "/A/update.zip", "/TavlinLaunch.exe", ""},
        {u"/", "/update.zip", "TavlinLaunch.exe", ""},
        {u"", "update.zip", "TavlinLaunch.exe", ""},
    };
    for (const Case& c : cases) {
        UpdateParams p;
        FillJobPaths(p, c.moduleDir);
        EXPECT_EQ(p.zipPath, c.zipPath) << zeb::ToNarrow(c.moduleDir);
        EXPECT_EQ(p.launcherPath, c.launcherPath) << zeb::ToNarrow(c.moduleDir);
        EXPECT_EQ(p.extractDir, c.extractDir) << zeb::ToNarrow(c.moduleDir);
    }
}

TEST(JobParams, ForcedUpdateReadsLikeTheCRuntime) {
    struct Case {
        std::u16string text;
        int32_t value;
    };
    const Case cases[] = {
        {u"1", 1},   {u"+1", 1},      {u"1x", 1},         {u"abc", 0},        {u"2", 2},
        {u"", 0},    {u"  -7", -7},   {u"\t\n3", 3},      {u"- 1", 0},        {u"0x10", 0},
        {u"007", 7}, {u"+", 0},       {u"2147483647", INT_MAX}, {u"99999999999", INT_MAX},
        {u"-2147483648", INT_MIN},    {u"-99999999999", INT_MIN}, {u"\u0661", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ReadDecimal(c.text), c.value) << zeb::ToNarrow(c.text);
}

class ParseZipConfTest : public ::testing::Test {
protected:
    void SetUp() override { updater_test::UseLogRoot(tmp_.path()); }
    tavlin_test::TempDir tmp_{"updater-params-"};
};

TEST_F(ParseZipConfTest, ValuesFromTheCommandLine) {
    struct Case {
        std::u16string text;
        const char* zipUrl;
        const char* zipMd5;
        const char* pageCallParam;
        int32_t forcedUpdate;
        const char* newVersion;
        const char* prompt;
    };
    const Case cases[] = {
        {u"-silent", "?", "", "", 0, "", ""},
        {u"", "?", "", "", 0, "", ""},
        {u"-md5=0F1E", "?0F1E", "0F1E", "", 0, "", ""},
        {u"-url=http://h/u.zip?v=3 -md5=ab", "http://h/u.zip?v=3?ab", "ab", "", 0, "", ""},
        {u"-url=x", "x?", "", "", 0, "", ""},
        {u"-URL=http://h/p.zip -MD5=CD -PageCallParam=a=1&b=2 -ForcedUpdate=+1 -NewVer=2.1 "
         u"-Prompt=\"One*Two \u4e09\"",
         "http://h/p.zip?CD", "CD", "a=1&b=2", 1, "2.1", "One*Two \xe4\xb8\x89"},
        {u"-forcedupdate=2 -url=u", "u?", "", "", 2, "", ""},
        {u"-forcedupdate=abc", "?", "", "", 0, "", ""},
        {u"-url=\xd800x", "?x?", "", "", 0, "", ""},
    };
    for (const Case& c : cases) {
        const std::string text = zeb::ToNarrow(c.text);
        UpdateParams p = parseZipConf(c.text);
        EXPECT_EQ(p.zipUrl, c.zipUrl) << text;
        EXPECT_EQ(p.zipMd5, c.zipMd5) << text;
        EXPECT_EQ(p.pageCallParam, c.pageCallParam) << text;
        EXPECT_EQ(p.forcedUpdate, c.forcedUpdate) << text;
        EXPECT_EQ(p.newVersion, c.newVersion) << text;
        EXPECT_EQ(p.prompt, c.prompt) << text;
        EXPECT_TRUE(p.relaunch) << text;
    }
}

// The optional checks: taken as given, a base64 signature whole (its "+",
// "/" and "=" padding are no separators); absent ones leave the job as it was.
TEST_F(ParseZipConfTest, Sha256AndSignatureAsGiven) {
    const std::u16string sig = u"kZ+/0Jx9aQeP7m1Pp8yT4wq3QX2d6kVc9fL0sN1uH5rB8tA2eC4gY7iK3oM6wR0zD5jF9hL2nS8vU1xW4yZ7Ag==";
    UpdateParams p = parseZipConf(u"-url=u -md5=ab -sha256=E3B0c442 -sig=" + sig + u" -newver=2");
    EXPECT_EQ(p.zipSha256, "E3B0c442");
    EXPECT_EQ(p.zipSignature, zeb::ToNarrow(sig));
    EXPECT_EQ(p.zipUrl, "u?ab") << "the new keys change nothing else";
    EXPECT_EQ(p.newVersion, "2");
    UpdateParams plain = parseZipConf(u"-url=u -md5=ab -sig=");
    EXPECT_EQ(plain.zipSha256, "");
    EXPECT_EQ(plain.zipSignature, "");
}

}  // namespace
