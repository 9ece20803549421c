// Packages made by tavlin-pack through the whole ordinary update: served by
// nginx on 127.0.0.1, fetched and checked by temp/Updater.exe run with the
// command line the packer printed, applied by the launcher at its next
// start. The installation then holds the new tree: content, modes, times,
// links and empty folders.
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "cycle_fixture.h"
#include "nginx_server.h"
#include "pack_tree.h"

namespace fs = std::filesystem;

namespace packer_test {
namespace {

using cycle_test::ChildProcess;

class PackedCycleTest : public cycle_test::CycleTest {
protected:
    void SetUp() override {
        // The launcher gives files their mode less its umask; the sample's
        // modes survive this one.
        ::umask(022);
        CycleTest::SetUp();
    }

    // A release tree: the sample, with the stand-in client as tavlin.exe.
    std::string MakeRelease(const std::string& name) {
        const std::string tree = tmp_ / name;
        MakeSampleTree(tree);
        PutFile(tree, "tavlin.exe", tavlin_test::ReadFileText(cycle_test::BinDir() + "/tavlin.exe"), 0755, 1690000000);
        return tree;
    }

    // Packs `args`, serves the package, runs the updater with the printed
    // command line, closes it once the package is checked, and starts the
    // launcher, which applies it.
    void Update(std::vector<std::string> args) {
        download_test::NginxServer nginx(Www(""));
        args.insert(args.end(), {"-o", Www("update.zip"), "--url", nginx.Url("/update.zip")});
        const auto packed = Pack(args);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        std::istringstream command(ReportValue(packed.out, "command"));
        std::vector<std::string> words;
        for (std::string word; command >> word;) words.push_back(word);
        ASSERT_GE(words.size(), 4u) << packed.out;
        ASSERT_EQ(words[0], "temp/Updater.exe");
        EXPECT_EQ(words[2], "-md5=" + cycle_test::Md5Hex(Www("update.zip")));

        ChildProcess updater = StartUpdater(std::vector<std::string>(words.begin() + 1, words.end()));
        const std::string window = WaitForClass(cycle_test::kProgressClass);
        ASSERT_FALSE(window.empty()) << "no progress window; " << updater.Stderr();
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Registrations().size() == 1; }, cycle_test::kProcessTimeoutMs))
            << "the package was not accepted; " << updater.Stderr() << UpdaterLog();
        ASSERT_TRUE(PressKey(window, "Escape"));
        ASSERT_TRUE(updater.Wait(cycle_test::kProcessTimeoutMs));
        EXPECT_EQ(Md5Hex(Work("update.zip")), cycle_test::Md5Hex(Www("update.zip")));

        const auto launched = RunLauncher({"\"tavlin://room?id=7\""});
        ASSERT_TRUE(launched.finished);
        EXPECT_EQ(launched.exitCode, 0) << launched.err;
        ASSERT_TRUE(WaitForClientCalls("args", 1)) << launched.err;
        EXPECT_FALSE(tavlin_test::FileExists(Installed("update.zip"))) << "the launcher did not apply the package";
    }

    static std::string Md5Hex(const std::string& path) { return cycle_test::Md5Hex(path); }
};

TEST_F(PackedCycleTest, FullPackageInstallsTheTree) {
    const std::string tree = MakeRelease("release-2.0");
    ASSERT_NO_FATAL_FAILURE(Update({tree}));
    EXPECT_EQ(Differences(TreeState(tree), TreeState(install_)), std::vector<std::string>{});
    EXPECT_EQ(ClientCalls("version"), std::vector<std::string>{"2.0"});
}

TEST_F(PackedCycleTest, DeltaPackageOverTheOldTreeInstallsTheNewTree) {
    // The installation holds the old release as it was installed.
    const std::string old = MakeRelease("release-2.0");
    ASSERT_EQ(tavlin_test::Run({"cp", "-a", old + "/.", install_}, env_, 30000).exitCode, 0);
    const std::string tree = tmp_ / "release-2.1";
    ASSERT_EQ(tavlin_test::Run({"cp", "-a", old, tree}, env_, 30000).exitCode, 0);
    PutFile(tree, "version.txt", "2.1", 0644, 1710000000);
    PutFile(tree, "bin/readonly.cfg", "fixed=2\n", 0444, 1710000001);
    PutFile(tree, "data/lessons.txt", Text(2'600'000, 11), 0644, 1710000002);
    PutFile(tree, "plugins/chat/chat.sh", "#!/bin/sh\n", 0755, 1710000003);
    ::chmod((tree + "/data/small.bin").c_str(), 0640);
    PutLink(tree, "bin/current.txt", "readonly.cfg");
    PutFolder(tree, "cache/new-empty");
    fs::remove(tree + "/data/empty.txt");

    ASSERT_NO_FATAL_FAILURE(Update({tree, "--base", old}));
    EXPECT_EQ(Differences(TreeState(tree), TreeState(install_)), std::vector<std::string>{});
    EXPECT_TRUE(tavlin_test::FileExists(Installed("data/empty.txt"))) << "a package never deletes";
    EXPECT_EQ(ClientCalls("version"), std::vector<std::string>{"2.1"});
}

}  // namespace
}  // namespace packer_test
