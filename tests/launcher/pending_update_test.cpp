#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "PendingUpdate.h"
#include "child_process.h"
#include "disk_state.h"
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
    EXPECT_NE(log.find("] unpack failure, nothing installed: cannot read the archive"), std::string::npos) << log;
}

// One refused entry fails the package in one record, with the name escaped.
TEST_F(PendingUpdate, ARefusedEntryFailsThePackageInOneRecord) {
    ASSERT_TRUE(WriteFileText(dir + "ok.dll", "old"));
    tavlin_test::ZipBuilder z(dir + "update.zip");
    z.AddFile("ok.dll", "new").AddFile("../escape\n[INFO] forged.dll", "x");
    z.Close();
    testing::internal::CaptureStderr();
    pending_update::UnpackArchiveIn(tmp.path());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("] unpack failure, nothing installed: entry \"../escape\\x0a[INFO] forged.dll\": "),
              std::string::npos)
        << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(ReadFileText(dir + "ok.dll"), "old");
    EXPECT_FALSE(FileExists(dir + "update.zip"));
    EXPECT_FALSE(FileExists(tmp.path() + "/../escape.dll"));
}

// A package in "temp" on another file system is copied up whole; when the
// copy fails it stays in "temp" for the next start.
TEST_F(PendingUpdate, PackageOnAnotherFileSystemIsCopiedOrKept) {
    tavlin_test::TempDir other{"tavlin-pending-other-", "/dev/shm"};
    std::filesystem::remove_all(dir + "temp");
    std::filesystem::create_directory_symlink(other.path(), dir + "temp");
    const std::string package = Package("temp/update.zip", "new");

    // The copy's own name is taken by a folder: the copy fails.
    std::filesystem::create_directories(dir + "update.zip.tavlin-copy/x");
    testing::internal::CaptureStderr();
    pending_update::CleanTempFolder(dir);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFileText(dir + "temp/update.zip"), package);
    EXPECT_FALSE(FileExists(dir + "update.zip"));
    EXPECT_NE(log.find("kept for the next start"), std::string::npos) << log;

    std::filesystem::remove_all(dir + "update.zip.tavlin-copy");
    pending_update::CleanTempFolder(dir);
    EXPECT_EQ(ReadFileText(dir + "update.zip"), package);
    EXPECT_FALSE(FileExists(dir + "temp/update.zip"));
    EXPECT_FALSE(FileExists(dir + "update.zip.tavlin-copy"));
}

// A journal a killed run left is finished before anything else, and logged.
TEST_F(PendingUpdate, AnInterruptedUpdateIsFinished) {
    ASSERT_TRUE(WriteFileText(dir + "a.dll", "old"));
    ASSERT_TRUE(WriteFileText(dir + ".a.dll.tavlin-Q1w2E3", "new"));
    ASSERT_TRUE(WriteFileText(dir + ".tavlin-journal", "tavlin-journal 1\nF .a.dll.tavlin-Q1w2E3 a.dll\nC 1\n"));
    testing::internal::CaptureStderr();
    pending_update::FinishInterruptedIn(dir);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFileText(dir + "a.dll"), "new");
    EXPECT_FALSE(FileExists(dir + ".tavlin-journal"));
    EXPECT_NE(log.find("finished an interrupted installation: 1 files put in place"), std::string::npos) << log;
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

namespace {


// While a commit a killed run left cannot be finished, a new package is not
// tried, and not thrown away either: it waits for a start that can.
TEST_F(PendingUpdate, APackageWaitsWhileAnEarlierCommitIsStuck) {
    ASSERT_TRUE(WriteFileText(dir + "a.dll", "old"));
    ASSERT_TRUE(WriteFileText(dir + ".a.dll.tavlin-Q1w2E3", "committed"));
    ASSERT_TRUE(WriteFileText(dir + ".tavlin-journal", "tavlin-journal 1\nF .a.dll.tavlin-Q1w2E3 a.dll\nC 1\n"));
    if (!tavlin_test::SetImmutable(dir + "a.dll", true)) GTEST_SKIP() << "cannot make a file immutable here";
    const std::string package = Package("update.zip", "new");
    testing::internal::CaptureStderr();
    pending_update::UnpackArchiveIn(tmp.path());
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("unpack postponed, package kept for the next start"), std::string::npos) << log;
    EXPECT_EQ(ReadFileText(dir + "update.zip"), package);
    EXPECT_FALSE(FileExists(dir + "bin"));

    ASSERT_TRUE(tavlin_test::SetImmutable(dir + "a.dll", false));
    pending_update::UnpackArchiveIn(tmp.path());
    EXPECT_EQ(ReadFileText(dir + "a.dll"), "committed");
    EXPECT_EQ(ReadFileText(dir + "bin/tool.dll"), "new");
    EXPECT_FALSE(FileExists(dir + "update.zip"));
    EXPECT_FALSE(FileExists(dir + ".tavlin-journal"));
}

}  // namespace
