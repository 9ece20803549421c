#include "platform/module.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "platform/app_data.h"
#include "platform/spawn.h"
#include "win_test_util.h"

namespace {

namespace fs = std::filesystem;
using win_test::TempDir;

TEST(ModuleWin, PathAndFolderOfThisProgram) {
    std::string path, folder;
    ASSERT_TRUE(platform::GetModulePath(path));
    ASSERT_TRUE(platform::GetModuleFolder(folder));
    EXPECT_TRUE(path.ends_with("\\platform_tests.exe")) << path;
    EXPECT_EQ(folder + "platform_tests.exe", path);
    EXPECT_TRUE(fs::exists(win_test::W(path)));
}

// A program in a folder with spaces and Chinese text reports its own path.
TEST(ModuleWin, ChinesePathOfAnotherProgram) {
    TempDir dir;
    const fs::path folder = dir.path() / L"安装 目录" / L"课堂";
    fs::create_directories(folder);
    const fs::path exe = folder / L"tavlin.exe";
    fs::copy_file(win_test::W(win_test::ProbePath()), exe);

    win_test::ScopedEnv out(L"PROBE_OUT", (dir.path() / L"probe.out").wstring());
    ASSERT_GT(platform::StartDetachedFromPath(win_test::U8(exe), {}), 0);
    win_test::ProbeOutput p;
    ASSERT_TRUE(win_test::WaitUntil([&] { return win_test::ReadProbe(dir.path() / L"probe.out", p); }, 20000));
    EXPECT_EQ(p.items["exe"], win_test::U8(exe));
}

TEST(ModuleWin, CurrentDirectoryRoundTripsChinese) {
    TempDir dir;
    const fs::path sub = dir.path() / L"课堂 文件";
    fs::create_directory(sub);
    const std::string saved = platform::GetCurrentDir();
    ASSERT_FALSE(saved.empty());
    ASSERT_TRUE(platform::SetCurrentDir(win_test::U8(sub)));
    EXPECT_EQ(platform::GetCurrentDir(), win_test::U8(sub));
    EXPECT_FALSE(platform::SetCurrentDir(win_test::U8(sub / L"missing")));
    EXPECT_FALSE(platform::SetCurrentDir(""));
    ASSERT_TRUE(platform::SetCurrentDir(saved));
}

TEST(ModuleWin, LocalAppDataIsAnExistingFolder) {
    const std::string dir = platform::LocalAppDataDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '\\');
    EXPECT_TRUE(fs::is_directory(win_test::W(dir))) << dir;
    EXPECT_TRUE(fs::path(win_test::W(dir)).is_absolute()) << dir;
}

}  // namespace
