// The job record of an installed program: its folders from its own path,
// and the record it logs at start-up, read back from its log file.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "log_files.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

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

TEST(ParseZipConfProbe, InstalledProgramGetsItsPathsAndLogsTheValuesAsGiven) {
    tavlin_test::TempDir tmp("updater-params-");
    const std::string root = fs::canonical(tmp.path()).string();
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
