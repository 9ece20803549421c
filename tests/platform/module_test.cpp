#include "platform/module.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "child_process.h"
#include "probe_output.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

// A folder path well past the 256 bytes of a first readlink/getcwd buffer
// (and past Windows' MAX_PATH), with a space and CJK text in it.
std::string MakeDeepFolder(const std::string& root) {
    std::string path = root;
    for (int i = 0; i < 8; ++i) path += "/" + std::string(60, char('a' + i)) + " 安装";
    fs::create_directories(path);
    return path;
}

TEST(Module, LongProgramPathIsReadWhole) {
    tavlin_test::TempDir dir;
    std::string folder = MakeDeepFolder(dir.path());
    std::string exe = folder + "/tavlin.exe";
    fs::copy_file(PROBE_PATH, exe);
    tavlin_test::Environment env = tavlin_test::Environment::Inherit();
    env.Set("PROBE_OUT", dir / "probe.out");
    tavlin_test::RunResult r = tavlin_test::Run({exe}, env, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    platform_test::ProbeOutput p;
    ASSERT_TRUE(platform_test::ReadProbe(dir / "probe.out", p));
    EXPECT_EQ(p.items["exe"], exe);
}

TEST(Module, RemovedProgramKeepsItsPath) {
    tavlin_test::TempDir dir;
    std::string exe = dir / "Updater.exe";
    fs::copy_file(PROBE_PATH, exe);
    tavlin_test::SpawnOptions options;
    options.argv = {exe};
    options.env.Set("PROBE_OUT", dir / "probe.out");
    options.env.Set("PROBE_AFTER", dir / "go");
    tavlin_test::ChildProcess child;
    ASSERT_TRUE(child.Start(options)) << child.error();
    fs::remove(exe);
    ASSERT_TRUE(tavlin_test::WriteFileText(dir / "go", ""));
    ASSERT_TRUE(child.Wait(10000));
    platform_test::ProbeOutput p;
    ASSERT_TRUE(platform_test::ReadProbe(dir / "probe.out", p));
    EXPECT_EQ(p.items["exe"], exe);
}

TEST(Module, FolderEndsWithSlashAndHoldsTheProgram) {
    std::string path, folder;
    ASSERT_TRUE(platform::GetModulePath(path));
    ASSERT_TRUE(platform::GetModuleFolder(folder));
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_EQ(path.substr(0, folder.size()), folder);
    EXPECT_EQ(path.find('/', folder.size()), std::string::npos);
    EXPECT_TRUE(fs::equivalent(path, "/proc/self/exe"));
}

TEST(Module, CurrentDirectoryRoundTripsLongPaths) {
    tavlin_test::TempDir dir;
    std::string saved = platform::GetCurrentDir();
    std::string deep = MakeDeepFolder(dir.path());
    ASSERT_TRUE(platform::SetCurrentDir(deep));
    EXPECT_EQ(platform::GetCurrentDir(), deep);
    EXPECT_FALSE(platform::SetCurrentDir(dir / "missing"));
    EXPECT_FALSE(platform::SetCurrentDir(""));
    EXPECT_EQ(platform::GetCurrentDir(), deep);
    ASSERT_TRUE(platform::SetCurrentDir("/"));
    EXPECT_EQ(platform::GetCurrentDir(), "/");
    platform::SetCurrentDir(saved);
}

}  // namespace
