// The job record from the command line: folder rules, value readings, and
// the record logged at start-up.
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/UpdaterApp.h"
#include "app/zebUtil.h"
#include "child_process.h"
#include "log_files.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

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
    void SetUp() override { ::setenv("XDG_STATE_HOME", tmp_.path().c_str(), 1); }
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

std::map<std::string, std::string> ParseFields(const std::string& out) {
    std::map<std::string, std::string> fields;
    for (const std::string& line : updater_test::SplitLines(out)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

// The probe program installed as <root>/A/B/temp/Updater.exe, run with `args`.
struct ProbeRun {
    std::map<std::string, std::string> fields;
    std::vector<std::string> logLines;
};

ProbeRun RunProbe(const std::string& root, const std::vector<std::string>& args) {
    ProbeRun run;
    const std::string folder = root + "/A/B/temp";
    fs::create_directories(folder);
    const std::string program = folder + "/Updater.exe";
    fs::copy_file(TAVLIN_PARAMS_PROBE, program, fs::copy_options::overwrite_existing);
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    tavlin_test::Environment env = tavlin_test::Environment::Inherit();
    env.Set("XDG_STATE_HOME", root + "/state");
    tavlin_test::RunResult result = tavlin_test::Run(argv, env, 20000);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    run.fields = ParseFields(result.out);
    // The log folder is named after the program without ".exe".
    const auto files = updater_test::LogFiles(updater_test::LogFolder(root + "/state", "Updater"), "zebUpdater");
    EXPECT_EQ(files.size(), 1u);
    if (!files.empty()) run.logLines = updater_test::SplitLines(tavlin_test::ReadFileText(files[0]));
    return run;
}

TEST_F(ParseZipConfTest, InstalledProgramGetsItsPathsAndLogsTheValuesAsGiven) {
    const std::string root = fs::canonical(tmp_.path()).string();
    ProbeRun run = RunProbe(root, {"-url=http://h/u.zip?v=3", "-md5=0F1E", "-pagecallparam=a=1&b=%s",
                                   "-forcedupdate=1x", "-prompt=\"Line", "one*Line", "two\"", "-newver=3.0"});
    EXPECT_EQ(run.fields["moduleDir"], root + "/A/B/temp/");
    EXPECT_EQ(run.fields["installDll"], root + "/A/B/temp/InstallZebApp.dll");
    EXPECT_EQ(run.fields["zipPath"], root + "/A/B/temp/update.zip");
    EXPECT_EQ(run.fields["launcherPath"], root + "/A/B/TavlinLaunch.exe");
    EXPECT_EQ(run.fields["extractDir"], root + "/A/");
    EXPECT_EQ(run.fields["zipUrl"], "http://h/u.zip?v=3?0F1E");
    EXPECT_EQ(run.fields["pageCallParam"], "a=1&b=%s");
    EXPECT_EQ(run.fields["forcedUpdate"], "1");
    EXPECT_EQ(run.fields["prompt"], "Line one*Line two");
    EXPECT_EQ(run.fields["newVersion"], "3.0");

    // One record and the empty line its own "\n" leaves.
    ASSERT_EQ(run.logLines.size(), 2u);
    updater_test::Record record;
    ASSERT_TRUE(updater_test::ParseRecord(run.logLines[0], record)) << run.logLines[0];
    tm local{};
    EXPECT_TRUE(updater_test::ParseLogTime(record.time, local)) << record.time;
    EXPECT_EQ(record.level, "0");
    EXPECT_EQ(record.source, "UpdaterApp");
    EXPECT_FALSE(record.line.empty());
    EXPECT_EQ(record.line.find_first_not_of("0123456789"), std::string::npos) << record.line;
    EXPECT_EQ(record.function, "parseZipConf");
    EXPECT_EQ(record.message,
              "ZipUrl : http://h/u.zip?v=3 zipMd5 : 0F1E pageCallParam : a=1&b=%s forcedupdate : 1x");
    EXPECT_EQ(run.logLines[1], "");
}

}  // namespace
