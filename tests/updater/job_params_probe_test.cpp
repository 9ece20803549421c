// The job record of an installed program: its folders from its own path,
// and the record it logs at start-up, read back from its log file.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "file_text.h"
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

// The probe installed as <root>/A/B/temp/Updater.exe beside the launcher
// A/B/TavlinLaunch.exe, started by `started` (argv[0]; the program itself
// unless `lie`, for which a shell execs the program under that name) from
// `cwd`. Whatever name it is given, the launcher it would start and the
// folder a forced update would unpack into are the installation's, A/B.
void ExpectInstallationFollowed(const std::string& root, const std::string& started, const std::string& cwd,
                                bool lie) {
    const std::string program = root + "/A/B/temp/Updater.exe";
    std::vector<std::string> argv = {started};
    if (lie) argv = {"/bin/bash", "-c", "exec -a \"$0\" \"$1\"", started, program};
    tavlin_test::Environment env = tavlin_test::Environment::Inherit();
    env.Set("XDG_STATE_HOME", root + "/state");
    tavlin_test::RunResult result = tavlin_test::Run(argv, env, 20000, cwd);
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::map<std::string, std::string> fields = ParseFields(result.out);
    const fs::path installation = root + "/A/B";
    std::error_code error;
    EXPECT_TRUE(fs::equivalent(fields["launcherPath"], installation / "TavlinLaunch.exe", error))
        << fields["launcherPath"];
    // The unpacking root: the child of extractDir on the way to the package.
    const fs::path relative = fs::path(fields["zipPath"]).lexically_relative(fields["extractDir"]);
    ASSERT_FALSE(relative.empty()) << fields["zipPath"] << " is not below " << fields["extractDir"];
    EXPECT_TRUE(fs::equivalent(fs::path(fields["extractDir"]) / *relative.begin(), installation, error))
        << "a forced update would unpack into " << fields["extractDir"] << *relative.begin();
}

// Other names for the program or its folder: links to the work folder from
// outside the installation, a link to the program file, a name under /proc,
// a lying argv[0] naming a copy or a hard link elsewhere, a link to the
// parent folder, and the work folder itself a link to a folder elsewhere.
TEST(ParseZipConfProbe, EveryNameOfTheProgramKeepsItsInstallation) {
    tavlin_test::TempDir tmp("updater-started-");
    const std::string root = fs::canonical(tmp.path()).string();
    const std::string work = root + "/A/B/temp";
    fs::create_directories(work);
    fs::create_directories(root + "/home");
    fs::copy_file(TAVLIN_PARAMS_PROBE, work + "/Updater.exe");
    ASSERT_TRUE(tavlin_test::WriteFileText(root + "/A/B/TavlinLaunch.exe", "launcher"));
    fs::copy_file(work + "/Updater.exe", root + "/home/Updater.exe");
    fs::create_hard_link(work + "/Updater.exe", root + "/home/Linked.exe");
    fs::create_directory_symlink(work, root + "/home/tv t\u00e9mp");
    fs::create_symlink(work + "/Updater.exe", root + "/home/Up.exe");
    fs::create_directory_symlink("..", work + "/up");

    struct Case {
        std::string started;
        std::string cwd;
        bool lie;
    };
    const Case cases[] = {
        {root + "/home/tv t\u00e9mp/Updater.exe", root, false},
        {"./tv t\u00e9mp/Updater.exe", root + "/home", false},
        {root + "/home/Up.exe", root, false},
        {"/proc/self/cwd/Updater.exe", work, false},
        {root + "/home/Updater.exe", root, true},
        {root + "/home/Linked.exe", root, true},
        {root + "/home/tv t\u00e9mp/Updater.exe", root, true},
        {work + "/up/temp/Updater.exe", root, false},
        {work + "/../temp/Updater.exe", root, false},
        {"temp/Updater.exe", root + "/A/B", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.started + (c.lie ? " (exec -a)" : ""));
        ExpectInstallationFollowed(root, c.started, c.cwd, c.lie);
    }

    // The work folder a link to a folder elsewhere: the installation is still
    // the one holding the link.
    fs::create_directories(root + "/cache");
    fs::rename(work, root + "/cache/temp");
    fs::create_directory_symlink(root + "/cache/temp", work);
    for (const Case& c : {Case{work + "/Updater.exe", root, false}, Case{"temp/Updater.exe", root + "/A/B", false}}) {
        SCOPED_TRACE(c.started + " with the work folder linked");
        ExpectInstallationFollowed(root, c.started, c.cwd, c.lie);
    }
}

}  // namespace
