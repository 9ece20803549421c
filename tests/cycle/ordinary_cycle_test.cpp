// The ordinary update: the updater downloads and verifies the package,
// shows its completion line and waits for the user; the package stays in
// temp for the launcher, whose next start installs it.
#include <filesystem>

#include "cycle_fixture.h"
#include "nginx_server.h"

namespace cycle_test {
namespace {

class OrdinaryCycleTest : public CycleTest {};

TEST_F(OrdinaryCycleTest, PackageIsLeftForTheLauncherWhichInstallsIt) {
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("2.0"));
    download_test::NginxServer nginx(Www(""));
    ChildProcess updater = StartUpdater({"-url=" + nginx.Url("/update.zip"), "-md5=" + md5, "-newver=2.0",
                                         "-prompt=\"Chat plugin*Faster whiteboard\"",
                                         "-pagecallparam=/room?id=7"});

    const std::string window = WaitForClass(kProgressClass);
    ASSERT_FALSE(window.empty()) << "no progress window; " << updater.Stderr();
    EXPECT_EQ(WindowName(window), "升级程序");

    // The package is verified when the component beside the updater is
    // registered; the window then turns its status line green and waits.
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Registrations().size() == 1; }, kProcessTimeoutMs))
        << updater.Stderr();
    ASSERT_TRUE(WaitForGreen(window)) << "no completion line";
    KeepShot(Capture(window), "completed");
    EXPECT_EQ(Md5Hex(Work("update.zip")), md5);
    EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip.dltmp")));
    EXPECT_TRUE(updater.Alive()) << "the updater ended without the user";
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "1.0") << "installed before the next start";

    const std::string log = UpdaterLog();
    EXPECT_NE(log.find("ZipUrl : " + nginx.Url("/update.zip") + " zipMd5 : " + md5 +
                       " pageCallParam : /room?id=7 forcedupdate : "),
              std::string::npos)
        << log;

    ASSERT_TRUE(PressKey(window, "Escape"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end when its window closed";
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    EXPECT_EQ(Md5Hex(Work("update.zip")), md5) << "the package must stay for the launcher";
    EXPECT_TRUE(ClientCalls("args").empty()) << "the ordinary update starts nothing";

    // The next start of the launcher installs the package and starts the
    // new client.
    auto launched = RunLauncher({"\"tavlin://room?id=7\""});
    ASSERT_TRUE(launched.finished);
    EXPECT_EQ(launched.exitCode, 0) << launched.err;
    ASSERT_TRUE(WaitForClientCalls("args", 1));
    EXPECT_EQ(ClientCalls("version"), std::vector<std::string>{"2.0"});
    EXPECT_EQ(ClientCalls("args"), std::vector<std::string>{"/room?id=7\""});
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("plugins/chat/chat-2.0.txt")), "chat plugin 2.0\n");
    EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip")));
    EXPECT_FALSE(tavlin_test::FileExists(Work("Updater.exe")));
}

// On an English system the progress window has no version, notes or green
// line: the run is seen through its title, its files and its end.
class EnglishOrdinaryCycleTest : public CycleTest {
protected:
    EnglishOrdinaryCycleTest() : CycleTest("en_US.UTF-8") {}
};

TEST_F(EnglishOrdinaryCycleTest, EnglishWindowCompletesAndClosesOnEnter) {
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("2.0"));
    download_test::NginxServer nginx(Www(""));
    ChildProcess updater = StartUpdater({"-url=" + nginx.Url("/update.zip"), "-md5=" + md5});

    const std::string window = WaitForClass(kProgressClass);
    ASSERT_FALSE(window.empty()) << "no progress window; " << updater.Stderr();
    EXPECT_EQ(WindowName(window), "Update Program");
    EXPECT_EQ(WindowSize(window), std::make_pair(310, 100));
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Registrations().size() == 1; }, kProcessTimeoutMs))
        << updater.Stderr();
    EXPECT_TRUE(updater.Alive());

    ASSERT_TRUE(PressKey(window, "Return"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
    EXPECT_EQ(Md5Hex(Work("update.zip")), md5);
}

}  // namespace
}  // namespace cycle_test
