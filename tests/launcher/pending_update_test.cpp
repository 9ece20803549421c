#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "PendingUpdate.h"
#include "child_process.h"
#include "temp_dir.h"
#include "zip_builder.h"

namespace {

using tavlin_test::FileExists;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;

class PendingUpdate : public testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(tmp / "temp"); }

    std::string Package(const std::string& name, const std::string& content) {
        const std::string path = tmp / name;
        tavlin_test::ZipBuilder z(path);
        z.AddFile("bin/tool.dll", content).AddDir("logs/");
        z.Close();
        return ReadFileText(path);
    }

    tavlin_test::TempDir tmp{"tavlin-pending-"};
    const std::string dir = tmp.path() + "/";
};

TEST_F(PendingUpdate, TempFolderIsCleanedAndPackageMovedUp) {
    for (const char* leftover : {"Updater.exe", "update.td0", "update.td1", "update.td2", "update.td3", "update.td"})
        ASSERT_TRUE(WriteFileText(dir + "temp/" + leftover, "left over"));
    ASSERT_TRUE(WriteFileText(dir + "temp/InstallZebApp.dll", "kept"));
    ASSERT_TRUE(WriteFileText(dir + "update.zip", "an older package"));
    const std::string package = Package("temp/update.zip", "new");

    pending_update::CleanTempFolder(dir);
    EXPECT_EQ(ReadFileText(dir + "update.zip"), package);
    EXPECT_FALSE(FileExists(dir + "temp/update.zip"));
    EXPECT_EQ(ReadFileText(dir + "temp/InstallZebApp.dll"), "kept");
    for (const char* leftover : {"Updater.exe", "update.td0", "update.td3", "update.td"})
        EXPECT_FALSE(FileExists(dir + "temp/" + leftover)) << leftover;

    pending_update::UnpackArchiveIn(tmp.path());
    EXPECT_EQ(ReadFileText(dir + "bin/tool.dll"), "new");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "logs"));
    EXPECT_FALSE(FileExists(dir + "update.zip"));

    // A second run finds nothing to do and changes nothing.
    pending_update::CleanTempFolder(dir);
    pending_update::UnpackArchiveIn(tmp.path());
    EXPECT_EQ(ReadFileText(dir + "bin/tool.dll"), "new");
    EXPECT_EQ(ReadFileText(dir + "temp/InstallZebApp.dll"), "kept");
    EXPECT_FALSE(FileExists(dir + "update.zip"));
}

TEST_F(PendingUpdate, UnreadablePackageIsStillDeleted) {
    ASSERT_TRUE(WriteFileText(dir + "update.zip", "PK\x03\x04 not really a zip"));
    testing::internal::CaptureStderr();
    pending_update::UnpackArchiveIn(tmp.path());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(FileExists(dir + "update.zip"));
    EXPECT_FALSE(FileExists(dir + "bin"));
    EXPECT_NE(log.find("] unpack failure: cannot read the archive"), std::string::npos) << log;
}

TEST_F(PendingUpdate, RefusedEntriesAreLogged) {
    tavlin_test::ZipBuilder z(dir + "update.zip");
    z.AddFile("../escape.dll", "x").AddFile("ok.dll", "ok");
    z.Close();
    testing::internal::CaptureStderr();
    pending_update::UnpackArchiveIn(tmp.path());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("] skip entry: ../escape.dll: "), std::string::npos) << log;
    EXPECT_EQ(ReadFileText(dir + "ok.dll"), "ok");
    EXPECT_FALSE(FileExists(tmp.path() + "/../escape.dll"));
}

TEST(GetModuleDirA, IsTheProgramFolderWithSlash) {
    std::string folder;
    ASSERT_TRUE(GetModuleDirA(folder));
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(std::string(exe).rfind(folder, 0), 0u);
    EXPECT_EQ(std::string(exe).find('/', folder.size()), std::string::npos);
}

}  // namespace
