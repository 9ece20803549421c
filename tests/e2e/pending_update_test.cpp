// The launcher applying a package the updater left behind, before it starts
// the client.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "launcher_fixture.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using tavlin_test::FileExists;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;

namespace tavlin_e2e {
namespace {

tavlin_test::ZipEntry Entry(const std::string& name, const std::string& data) {
    tavlin_test::ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
}

class PendingUpdateTest : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        if (HasFatalFailure()) return;
        WriteFileText(Installed("version.txt"), "1.0");
        WriteFileText(Installed("readme.txt"), "old readme");
        WriteFileText(Installed("keep.txt"), "not in the package");
    }

    // The next version: a changed file, a new file in a new sub-folder, and
    // a new version number.
    void MakeNewVersion(const std::string& zipPath) {
        std::string v2 = Scratch("v2");
        WriteFileText(v2 + "/version.txt", "2.0");
        WriteFileText(v2 + "/readme.txt", "new readme");
        WriteFileText(v2 + "/plugins/chat/plugin.txt", "chat plugin");
        ZipFolder(v2, zipPath);
    }

    void ExpectNewVersionInstalled() {
        EXPECT_EQ(ReadFileText(Installed("version.txt")), "2.0");
        EXPECT_EQ(ReadFileText(Installed("readme.txt")), "new readme");
        EXPECT_EQ(ReadFileText(Installed("plugins/chat/plugin.txt")), "chat plugin");
        EXPECT_EQ(ReadFileText(Installed("keep.txt")), "not in the package");
        EXPECT_FALSE(FileExists(Installed("update.zip")));
        EXPECT_FALSE(FileExists(Installed("temp/update.zip")));
    }
};

TEST_F(PendingUpdateTest, PackageInTempIsAppliedAndLeftoversRemovedBeforeClientStarts) {
    MakeNewVersion(Installed("temp/update.zip"));
    const char* leftovers[] = {"temp/Updater.exe", "temp/update.td0", "temp/update.td1",
                               "temp/update.td2", "temp/update.td3", "temp/update.td"};
    for (const char* f : leftovers) WriteFileText(Installed(f), "leftover");
    WriteFileText(Installed("temp/InstallZebApp.dll"), "not ours to delete");

    RunResult r = RunLauncher({"\"tavlin://room?id=7\""});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err;

    ExpectNewVersionInstalled();
    for (const char* f : leftovers) EXPECT_FALSE(FileExists(Installed(f))) << f;
    EXPECT_TRUE(FileExists(Installed("temp/InstallZebApp.dll")));

    // The client saw the new version: the package was applied before it
    // started.
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(CallsOf("args").front().data, "/room?id=7\"");
    ASSERT_EQ(CallsOf("version").size(), 1u);
    EXPECT_EQ(CallsOf("version").front().data, "2.0");

    // A second run finds nothing left to apply.
    StopClients();
    WriteFileText(Installed("readme.txt"), "edited after the update");
    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    EXPECT_EQ(ReadFileText(Installed("readme.txt")), "edited after the update");
}

TEST_F(PendingUpdateTest, PackageInInstallationFolderIsApplied) {
    MakeNewVersion(Installed("update.zip"));
    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    ExpectNewVersionInstalled();
}

// A package that cannot be read is dropped; the installation is untouched
// and the client still starts.
TEST_F(PendingUpdateTest, UnreadablePackageIsRemovedAndClientStarts) {
    WriteFileText(Installed("temp/update.zip"), "this is not a zip archive");
    RunResult r = RunLauncher({"tavlin://x"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(FileExists(Installed("update.zip")));
    EXPECT_FALSE(FileExists(Installed("temp/update.zip")));
    EXPECT_EQ(ReadFileText(Installed("version.txt")), "1.0");
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(CallsOf("version").front().data, "1.0");
}

// A damaged entry fails the whole package: every installed file stays byte
// for byte, nothing half-written is left, the package is gone (it is never
// tried twice), the failure is logged, and the old client starts.
TEST_F(PendingUpdateTest, DamagedEntriesLeaveTheInstallationAsItWas) {
    const std::string crcOld("installed\0crc\xff", 14);
    const std::string shortOld(70000, 's');
    WriteFileText(Installed("bin/crc.dll"), crcOld);
    WriteFileText(Installed("bin/short.dll"), shortOld);

    tavlin_test::ZipEntry badCrc = Entry("bin/crc.dll", "new crc data");
    badCrc.declaredCrc = 0x12345678;
    tavlin_test::ZipEntry shortEntry = Entry("bin/short.dll", std::string(5000, 'n'));
    shortEntry.declaredSize = 90000;
    tavlin_test::ZipEntry storedBadCrc = Entry("stored.txt", "stored");
    storedBadCrc.deflate = false;
    storedBadCrc.declaredCrc = 1;
    const std::vector<std::vector<tavlin_test::ZipEntry>> packages = {
        {Entry("version.txt", "2.0"), Entry("bin/new.dll", "new library"), badCrc},
        {Entry("version.txt", "2.0"), shortEntry, Entry("lib/new.dll", "new library")},
        {Entry("version.txt", "2.0"), Entry("lib/deep/new.dll", "new library"), storedBadCrc},
    };
    for (const auto& package : packages) {
        fs::create_directories(Installed("temp"));
        const auto before = tavlin_test::ReadTree(install(), {"tavlin.calls"});
        tavlin_test::WriteZip(Installed("temp/update.zip"), package);

        RunResult r = RunLauncher({});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("unpack failure, nothing installed: entry"), std::string::npos) << r.err;
        EXPECT_FALSE(FileExists(Installed("update.zip")));
        EXPECT_FALSE(FileExists(Installed("temp/update.zip")));
        EXPECT_EQ(tavlin_test::ReadTree(install(), {"tavlin.calls"}), before);
        ASSERT_TRUE(WaitForCalls("args", 1));
        EXPECT_EQ(CallsOf("version").front().data, "1.0");
        StopClients();
    }
}

// The client's companion holds files of the installation: it is stopped when
// a package is about to be unpacked, and only then.
TEST_F(PendingUpdateTest, CacheAssistantIsTerminatedOnlyWhenPackagePresent) {
    tavlin_test::SpawnOptions options;
    options.argv = {Installed("tavlinCacheAssistant.exe")};
    options.env = env_;
    ChildProcess assistant;
    ASSERT_TRUE(assistant.Start(options)) << assistant.error();

    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    EXPECT_FALSE(assistant.Wait(200)) << "stopped although nothing was to be unpacked";
    StopClients();

    MakeNewVersion(Installed("temp/update.zip"));
    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    ASSERT_TRUE(assistant.Wait(kRecordTimeoutMs)) << "still running after the update";
    EXPECT_TRUE(assistant.signalled());
    ExpectNewVersionInstalled();
}

}  // namespace
}  // namespace tavlin_e2e
