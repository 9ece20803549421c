// The forced installation's unpacking is all or nothing: a package with a
// damaged last entry, a file entry with a folder in its way, or a disk
// without room for it leaves the installation byte for byte, through
// zlib.dll's ExtractZipToDir called directly and through
// ZipDownloader::DoInstall, which then shows the failure prompt and removes
// the package so that the launcher's next start does not try it again.
#include <filesystem>
#include <functional>

#include "child_process.h"
#include "disk_state.h"
#include "install_fixture.h"
#include "platform/text.h"
#include "temp_dir.h"
#include "zip_builder.h"
#include "zlibdll/ExtractZipToDir.h"

namespace fs = std::filesystem;
using tavlin_test::ZipEntry;
using Tree = std::map<std::string, std::string>;

namespace install_test {
namespace {

ZipEntry Entry(const std::string& name, const std::string& data) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
}

std::string Text(const std::string& tag, std::size_t size) {
    std::string out;
    for (int line = 0; out.size() < size; ++line) out += tag + " line " + std::to_string(line) + "\n";
    out.resize(size);
    return out;
}

// What the installations below hold before each package.
const std::map<std::string, std::string> kOld = {
    {"tavlin.exe", "client 1.0"},
    {"version.txt", "1.0"},
    {"res/skin.dat", "old skin"},
    {"res/r3/file3.dat", "installed r3"},
};

// One way for a package to fail, as a package and what the installation
// needs to make it fail.
struct FailingPackage {
    const char* what;
    std::vector<ZipEntry> entries;
    std::function<void(const std::string& installation)> prepare;  // may be empty
    const char* reason;  // part of the failure text
};

// More than 8 MB in forty files, so it is staged with two threads; the last
// entry's CRC is wrong.
FailingPackage BadCrcInTheLastEntry() {
    FailingPackage p{"a bad CRC in the last entry", {Entry("version.txt", "2.0")}, {},
                     "entry \"zz/last.dll\": data does not match its CRC"};
    for (int i = 0; i < 40; ++i)
        p.entries.push_back(Entry("res/r" + std::to_string(i % 8) + "/file" + std::to_string(i) + ".dat",
                                  Text("file " + std::to_string(i), 256u << 10)));
    ZipEntry last = Entry("zz/last.dll", Text("last", 100000));
    last.declaredCrc = 0x12345678;
    p.entries.push_back(last);
    return p;
}

FailingPackage AFolderInTheWay() {
    return {"a folder in the way",
            {Entry("version.txt", "2.0"), Entry("plugins/new.dll", "new"), Entry("plugins/chat.dll", "chat")},
            [](const std::string& installation) {
                ASSERT_TRUE(tavlin_test::WriteFileText(installation + "plugins/chat.dll/inside.txt", "a folder"));
            },
            "entry \"plugins/chat.dll\": a folder is in the way"};
}

// Larger than what the tmpfs below the installation has free.
FailingPackage LargerThanTheDisk() {
    FailingPackage p{"larger than the free space", {Entry("version.txt", "2.0")}, {}, "not enough free space"};
    for (int i = 0; i < 4; ++i) p.entries.push_back(Entry("lib/part" + std::to_string(i), Text("part", 1u << 20)));
    return p;
}

// Folders that come with the files cost inodes the space check does not
// count: the tmpfs has enough for the check and runs out while staging.
FailingPackage OutOfInodesWhileStaging() {
    FailingPackage p{"inodes run out while staging", {Entry("version.txt", "2.0")}, {}, "No space left on device"};
    for (int i = 0; i < 40; ++i) p.entries.push_back(Entry("mods/m" + std::to_string(i) + "/plugin.txt", "p"));
    return p;
}

// A disk with no byte free.
FailingPackage OnAFullDisk() {
    return {"a disk already full", {Entry("version.txt", "2.0"), Entry("lib/new.dll", "new")}, {},
            "No space left on device"};
}

// Free room on the tmpfs for each disk case: bytes, inodes; bytes ~0 fills it.
struct Room {
    uint64_t bytes;
    uint64_t inodes;
};
const Room kNoRoom{~0ull, 1000};
const Room kLittleRoom{2u << 20, 1000};
const Room kFewInodes{8u << 20, 60};

bool LeaveRoom(tavlin_test::SmallDisk& disk, const Room& room, const std::string& filler) {
    if (room.bytes != ~0ull) return disk.LeaveFree(room.bytes, room.inodes);
    return disk.LeaveFree(1u << 20, room.inodes) && disk.Fill(filler);
}

Tree InstalledTree(const std::string& installation) {
    // The work folder holds the package and the component; the stand-in
    // launcher records its starts beside the client.
    return tavlin_test::ReadTree(installation, {"temp", "launcher.starts", "zz-filler"});
}

// --- ExtractZipToDir, called directly ---

// The shipped layout: the unpack target X, the installation I = X/app, the
// package in I/temp.
class AtomicExtractTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(target);
        ResetInstallation();
    }

    void ResetInstallation() {
        fs::remove_all(install);
        fs::create_directories(install + "/temp");
        fs::create_directories(install + "/zz-filler");
        for (const auto& [path, data] : kOld) ASSERT_TRUE(tavlin_test::WriteFileText(install + "/" + path, data));
    }

    // Applies `p` to the installation, which must stay as it was.
    void ExpectNothingReplaced(const FailingPackage& p, const Room* room = nullptr) {
        SCOPED_TRACE(p.what);
        if (p.prepare) p.prepare(install + "/");
        tavlin_test::WriteZip(package, p.entries);
        const Tree before = InstalledTree(install);
        if (room) {
            ASSERT_TRUE(LeaveRoom(disk, *room, install + "/zz-filler/fill")) << disk.error();
        }

        const std::u16string packageText = platform::Utf8ToUtf16(package);
        const std::u16string folderText = platform::Utf8ToUtf16(target + "/");
        EXPECT_EQ(ExtractZipToDir(packageText.c_str(), folderText.c_str(), 0), kExtractNotApplied);
        EXPECT_NE(std::string(ExtractZipToDirError()).find(p.reason), std::string::npos) << ExtractZipToDirError();
        EXPECT_EQ(InstalledTree(install), before);
        EXPECT_EQ(tavlin_test::StagingDebris(target), std::vector<std::string>{});
    }

    tavlin_test::TempDir dir{"tavlin-atomic-extract-"};
    const std::string target = dir / "X";
    const std::string install = target + "/app";
    const std::string package = install + "/temp/update.zip";
    tavlin_test::SmallDisk disk;
};

TEST_F(AtomicExtractTest, APackageThatFailsReplacesNothing) {
    for (const FailingPackage& p : {BadCrcInTheLastEntry(), AFolderInTheWay()}) {
        ResetInstallation();
        ExpectNothingReplaced(p);
    }
}

TEST_F(AtomicExtractTest, TooLittleRoomReplacesNothing) {
    if (!disk.Mount(target)) GTEST_SKIP() << "no tmpfs can be mounted here: " << disk.error();
    const std::pair<FailingPackage, Room> cases[] = {
        {LargerThanTheDisk(), kLittleRoom}, {OutOfInodesWhileStaging(), kFewInodes}, {OnAFullDisk(), kNoRoom}};
    for (const auto& [p, room] : cases) {
        ASSERT_TRUE(disk.LeaveFree(64u << 20)) << disk.error();
        ResetInstallation();
        ExpectNothingReplaced(p, &room);
    }
}

// --- the forced installation ---

std::string FailureRecord(const UpdateParams& p) {
    return "update install failed , zipName: " + p.zipPath + " , folder : " + p.extractDir + " ";
}

class AtomicDoInstallTest : public InstallTest {
protected:
    // Installs `p` over the old installation: the failure prompt, then the
    // update-finished window; the installation as it was, and no package
    // left for the launcher's next start.
    void ExpectFailedInstall(const FailingPackage& p, const Room* room = nullptr) {
        SCOPED_TRACE(p.what);
        fs::remove(i_ + "launcher.starts");
        for (const auto& entry : fs::directory_iterator(i_)) {
            const std::string name = entry.path().filename().string();
            if (name != "temp" && name != "TavlinLaunch.exe" && name != "zz-filler") fs::remove_all(entry.path());
        }
        WriteInstallation(kOld);
        if (p.prepare) p.prepare(i_);
        tavlin_test::WriteZip(params.zipPath, p.entries);
        const Tree before = InstalledTree(i_);
        if (room) {
            ASSERT_TRUE(LeaveRoom(disk_, *room, i_ + "zz-filler/fill")) << disk_.error();
        }
        MarkLogStart();

        const auto seen = Install("closeButton", "closeButton");

        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].kind, "tips");
        EXPECT_EQ(seen[1].kind, "launch");
        EXPECT_EQ(InstalledTree(i_), before);
        EXPECT_EQ(tavlin_test::StagingDebris(x_), std::vector<std::string>{});
        // Where the launcher looks for a package at its next start.
        EXPECT_FALSE(fs::exists(params.zipPath));
        EXPECT_FALSE(fs::exists(i_ + "update.zip"));
        const auto messages = InstallMessages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].rfind("ExtractZipToDir failed: 1: ", 0), 0u) << messages[0];
        EXPECT_NE(messages[0].find(p.reason), std::string::npos) << messages[0];
        EXPECT_EQ(messages[1], FailureRecord(params));
    }

    tavlin_test::SmallDisk disk_;
};

TEST_F(AtomicDoInstallTest, APackageThatFailsReplacesNothingAndIsRemoved) {
    for (const FailingPackage& p : {BadCrcInTheLastEntry(), AFolderInTheWay()}) ExpectFailedInstall(p);
}

TEST_F(AtomicDoInstallTest, TooLittleRoomReplacesNothingAndThePackageIsRemoved) {
    if (!disk_.Mount(x_)) GTEST_SKIP() << "no tmpfs can be mounted here: " << disk_.error();
    fs::create_directories(i_ + "zz-filler");
    const std::pair<FailingPackage, Room> cases[] = {
        {LargerThanTheDisk(), kLittleRoom}, {OutOfInodesWhileStaging(), kFewInodes}, {OnAFullDisk(), kNoRoom}};
    for (const auto& [p, room] : cases) {
        fs::remove(i_ + "zz-filler/fill");
        ASSERT_TRUE(disk_.LeaveFree(64u << 20)) << disk_.error();
        ExpectFailedInstall(p, &room);
    }
}

}  // namespace
}  // namespace install_test
