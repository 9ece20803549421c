// The forced update with a client running: the notice, the client stopped,
// the package downloaded and unpacked over the installation, the component
// registered, the update-finished window, and the launcher starting the new
// client with the job's parameter text.
#include <filesystem>

#include "cycle_fixture.h"
#include "nginx_server.h"

namespace cycle_test {
namespace {

// The update-finished window's launch button, centred below its text row.
constexpr int kLaunchButtonX = 210;
constexpr int kLaunchButtonY = 136;

class ForcedCycleTest : public CycleTest {
protected:
    // A forced update whose work folder is a link to a folder elsewhere (temp
    // on another disk), the updater started by its absolute path or, from the
    // installation, by the relative one.
    void ForcedUpdateThroughLinkedWorkFolder(bool relative);
};

TEST_F(ForcedCycleTest, StopsClientInstallsAndRestartsItThroughTheLauncher) {
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("3.0"));
    download_test::NginxServer nginx(Www(""));
    ChildProcess client = StartClient();
    ASSERT_FALSE(HasFailure());

    ChildProcess updater = StartUpdater({"-url=" + nginx.Url("/update.zip"), "-md5=" + md5, "-forcedupdate=1",
                                         "-newver=3.0", "-pagecallparam=/room?id=7"});

    // The notice comes first, while the client still runs.
    const std::string notice = WaitForClass(kPromptClass);
    ASSERT_FALSE(notice.empty()) << "no forced-update notice; " << updater.Stderr();
    EXPECT_EQ(WindowName(notice), "vostrapanel提示");
    KeepShot(Capture(notice), "notice");
    EXPECT_TRUE(client.Alive()) << "the client was stopped before the notice was answered";
    EXPECT_TRUE(WindowsOfClass(kProgressClass).empty()) << "the download started before the notice was answered";

    ASSERT_TRUE(PressKey(notice, "Return"));
    ASSERT_TRUE(client.Wait(kProcessTimeoutMs)) << "the client was not stopped";
    EXPECT_TRUE(client.signalled());

    // Unpacked and registered (once after the digest, once after the
    // installation) before the update-finished window shows.
    const std::string finished = WaitForClass(kFinishedClass, 2 * kWindowTimeoutSec);
    ASSERT_FALSE(finished.empty()) << "no update-finished window; " << updater.Stderr();
    EXPECT_EQ(WindowName(finished), "升级程序");
    EXPECT_EQ(WindowSize(finished), std::make_pair(420, 210));
    KeepShot(Capture(finished), "finished");
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "3.0");
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("plugins/chat/chat-3.0.txt")), "chat plugin 3.0\n");
    EXPECT_EQ(Registrations().size(), 2u);
    EXPECT_EQ(Md5Hex(Work("update.zip")), md5) << "the installation keeps the package";
    EXPECT_TRUE(ClientCalls("args").size() == 1) << "a client started before the window was closed";

    ASSERT_TRUE(Click(finished, kLaunchButtonX, kLaunchButtonY));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end after the installation";
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();

    // The launcher starts the new client with the job's parameter text.
    ASSERT_TRUE(WaitForClientCalls("args", 2)) << "the launcher did not start the client";
    EXPECT_EQ(ClientCalls("args").back(), "/room?id=7");
    EXPECT_EQ(ClientCalls("version").back(), "3.0");
    const std::string log = UpdaterLog();
    EXPECT_NE(log.find("install success"), std::string::npos) << log;
}

// The work folder is a link to a folder elsewhere (temp on another disk):
// the installation is still the one the updater was started in. The package
// is unpacked over it and its launcher starts the client; nothing lands
// beside the link's target.
void ForcedCycleTest::ForcedUpdateThroughLinkedWorkFolder(bool relative) {
    namespace fs = std::filesystem;
    const std::string elsewhere = tmp_ / "cache";
    fs::create_directories(elsewhere);
    fs::rename(Installed("temp"), elsewhere + "/temp");
    fs::create_directory_symlink(elsewhere + "/temp", Installed("temp"));
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("3.0"));
    download_test::NginxServer nginx(Www(""));

    const std::vector<std::string> args = {"-url=" + nginx.Url("/update.zip"), "-md5=" + md5, "-forcedupdate=2"};
    ChildProcess updater = relative ? StartUpdaterFrom(Installed(""), "temp/Updater.exe", args) : StartUpdater(args);
    const std::string finished = WaitForClass(kFinishedClass, 2 * kWindowTimeoutSec);
    ASSERT_FALSE(finished.empty()) << "no update-finished window; " << updater.Stderr();
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "3.0");
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(elsewhere)) beside.push_back(entry.path().filename());
    EXPECT_EQ(beside, std::vector<std::string>{"temp"}) << "files unpacked beside the link's target";

    ASSERT_TRUE(Click(finished, kLaunchButtonX, kLaunchButtonY));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    ASSERT_TRUE(WaitForClientCalls("args", 1)) << "the installation's launcher did not start the client";
    EXPECT_EQ(ClientCalls("version").back(), "3.0");
}

TEST_F(ForcedCycleTest, WorkFolderReachedThroughALinkInstallsIntoTheInstallation) {
    ForcedUpdateThroughLinkedWorkFolder(false);
}

TEST_F(ForcedCycleTest, WorkFolderReachedThroughALinkByARelativePathInstallsIntoTheInstallation) {
    ForcedUpdateThroughLinkedWorkFolder(true);
}

// A link to the work folder from outside the installation (here the user's
// home): started through it, the updater still unpacks over the installation
// and starts its launcher; nothing lands in the folder holding the link.
TEST_F(ForcedCycleTest, WorkFolderLinkedFromElsewhereInstallsIntoTheInstallation) {
    namespace fs = std::filesystem;
    const std::string link = user_.home + "/tavlin-temp";
    fs::create_directory_symlink(Installed("temp"), link);
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("3.0"));
    download_test::NginxServer nginx(Www(""));

    ChildProcess updater = StartUpdaterFrom(
        user_.home, link + "/Updater.exe", {"-url=" + nginx.Url("/update.zip"), "-md5=" + md5, "-forcedupdate=2"});
    const std::string finished = WaitForClass(kFinishedClass, 2 * kWindowTimeoutSec);
    ASSERT_FALSE(finished.empty()) << "no update-finished window; " << updater.Stderr();
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "3.0");
    EXPECT_FALSE(fs::exists(user_.home + "/version.txt")) << "the package was unpacked into the home folder";

    ASSERT_TRUE(Click(finished, kLaunchButtonX, kLaunchButtonY));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    ASSERT_TRUE(WaitForClientCalls("args", 1)) << "the installation's launcher did not start the client";
    EXPECT_EQ(ClientCalls("version").back(), "3.0");
}

}  // namespace
}  // namespace cycle_test
