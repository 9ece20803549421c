// ZipDownloader::DoInstall on a real installation tree: unpacking through
// zlib.dll, the failure prompt, registration of InstallZebApp.dll, the
// update-finished window and the launcher's start, and stopping real
// "tavlin.exe" processes.
//
// ctest runs this program in a PID namespace of its own where it can (see
// run_isolated.sh): the installation stops every "tavlin.exe" it sees.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "app/DownloadPage.h"
#include "app/process_op.h"
#include "child_process.h"
#include "install_fixture.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace install_test {
namespace {

const std::map<std::string, std::string> kOld = {
    {"tavlin.exe", "client 1.0"},
    {"version.txt", "1.0"},
    {"res/skin.dat", "old skin"},
    {"keep.txt", "not in the package"},
};
const std::map<std::string, std::string> kNew = {
    {"tavlin.exe", "client 2.0"},
    {"version.txt", "2.0"},
    {"res/skin.dat", "new skin"},
    {"res/extra/added.txt", "added"},
};

std::string FailureRecord(const UpdateParams& p) {
    return "update install failed , zipName: " + p.zipPath + " , folder : " + p.extractDir + " ";
}

std::string ExpectedStart(const UpdateParams& p) { return "1:" + p.pageCallParam; }

class DoInstallTest : public InstallTest {
protected:
    void ExpectOld() {
        for (const auto& [file, content] : kOld) EXPECT_EQ(Installed(file), content) << file;
        EXPECT_EQ(Installed("res/extra/added.txt"), "<missing>");
    }
    void ExpectNew() {
        for (const auto& [file, content] : kNew) EXPECT_EQ(Installed(file), content) << file;
        EXPECT_EQ(Installed("keep.txt"), "not in the package");
    }
    // One registration from the work folder, one launcher start with the
    // whole argument text as its one argument.
    void ExpectRegisteredAndRelaunched() {
        const auto registrations = Registrations();
        ASSERT_EQ(registrations.size(), 1u);
        EXPECT_NE(registrations[0].find(w_ + "InstallZebApp.dll"), std::string::npos) << registrations[0];
        EXPECT_EQ(WaitForLauncherStarts(), std::vector<std::string>{ExpectedStart(params)});
    }
};

TEST_F(DoInstallTest, UnpacksIntoTheInstallationAndStartsTheLauncherOnceTheWindowIsClosed) {
    // However the update-finished window is closed, the launcher starts after it.
    for (const char* close : {"closeButton", "launchButton", "Escape", "Enter"}) {
        SCOPED_TRACE(close);
        fs::remove(i_ + "launcher.starts");
        fs::remove(w_ + "InstallZebApp.registered");
        WriteInstallation(kOld);
        WritePackage(kNew);
        MarkLogStart();

        const auto seen = Install("closeButton", close);

        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].kind, "launch");
        EXPECT_TRUE(seen[0].centred);
        EXPECT_FALSE(seen[0].launcherStartedWhileOpen);
        ExpectNew();
        // Entries are relative to the installation, not to the unpack target.
        EXPECT_FALSE(fs::exists(x_ + "tavlin.exe"));
        EXPECT_TRUE(fs::exists(params.zipPath)) << "the package stays after installing";
        ExpectRegisteredAndRelaunched();
        EXPECT_EQ(InstallMessages(), std::vector<std::string>{"install success"});
    }
}

TEST_F(DoInstallTest, OnlyForcedModeZeroLeavesThePackageForTheLauncher) {
    for (int32_t forced : {0, 1, 2, -1}) {
        SCOPED_TRACE(forced);
        fs::remove(i_ + "launcher.starts");
        fs::remove(w_ + "InstallZebApp.registered");
        WriteInstallation(kOld);
        WritePackage(kNew);
        MarkLogStart();
        params.forcedUpdate = forced;

        const auto seen = Install("closeButton", "closeButton");

        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].kind, "launch");
        if (forced == 0) ExpectOld();
        else ExpectNew();
        EXPECT_TRUE(fs::exists(params.zipPath));
        ExpectRegisteredAndRelaunched();
        EXPECT_EQ(InstallMessages(), std::vector<std::string>{"install success"});
    }
}

TEST_F(DoInstallTest, AnEmptyArgumentTextStartsTheLauncherWithoutArguments) {
    WriteInstallation(kOld);
    WritePackage(kNew);
    params.pageCallParam.clear();
    Install("closeButton", "closeButton");
    EXPECT_EQ(WaitForLauncherStarts(), std::vector<std::string>{"0:"});
}

TEST_F(DoInstallTest, AnUnusableUnpackTargetEndsInTheFailurePromptAfterTheBound) {
    struct Case {
        const char* locale;
        const char* answer;
        std::u16string text;
        std::u16string caption;
        bool pageOpened;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "closeButton",
         u"There are some problems in Updating, Please download full installer from website~",
         u"Go Downloading Page", false},
        {"zh_CN.UTF-8", "confirmButton", u"升级出问题了,请下载完整安装包~", u"前往下载", true},
        {"en_US.UTF-8", "Enter",
         u"There are some problems in Updating, Please download full installer from website~",
         u"Go Downloading Page", true},
    };
    // A file where the unpack target should be.
    ASSERT_TRUE(tavlin_test::WriteFileText(root_ / "blocked", "a file"));
    params.extractDir = root_ / "blocked/";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + " " + c.answer);
        ::setenv("LC_ALL", c.locale, 1);
        fs::remove(i_ + "launcher.starts");
        fs::remove(w_ + "InstallZebApp.registered");
        fs::remove(*suite_ / "opened");
        WriteInstallation(kOld);
        WritePackage(kNew);
        MarkLogStart();

        const auto start = std::chrono::steady_clock::now();
        const auto seen = Install(c.answer, "closeButton");
        const auto elapsed = std::chrono::steady_clock::now() - start;

        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].kind, "tips");
        EXPECT_TRUE(seen[0].text == c.text);
        EXPECT_TRUE(seen[0].caption == c.caption);
        EXPECT_TRUE(seen[0].centred);
        EXPECT_EQ(seen[1].kind, "launch");
        // It kept trying for the whole bound before giving up.
        EXPECT_GE(elapsed, std::chrono::milliseconds(hooks.unpackLimitMs));
        ExpectOld();
        EXPECT_EQ(tavlin_test::ReadFileText(root_ / "blocked"), "a file");
        EXPECT_TRUE(fs::exists(params.zipPath));
        ExpectRegisteredAndRelaunched();
        EXPECT_EQ(InstallMessages(), std::vector<std::string>{FailureRecord(params)});
        // The page opener runs before the launcher, so by now it has recorded.
        const auto opened = OpenedPages(c.pageOpened ? 10000 : 0);
        if (c.pageOpened)
            EXPECT_EQ(opened, std::vector<std::string>{std::string(zeb::DownloadPageUrl())});
        else
            EXPECT_TRUE(opened.empty());
    }
}

TEST_F(DoInstallTest, APackageThatDoesNotUnpackIsReportedNotCalledASuccess) {
    struct Case {
        const char* what;
        std::function<void()> writePackage;
        const char* record;
    };
    const Case cases[] = {
        {"not a zip archive",
         [this] { ASSERT_TRUE(tavlin_test::WriteFileText(params.zipPath, "not a zip archive")); },
         "ExtractZipToDir failed: -2"},
        {"one entry with a wrong CRC",
         [this] {
             tavlin_test::ZipBuilder zip(params.zipPath);
             zip.AddFile("tavlin.exe", "client 2.0", 0755);
             tavlin_test::ZipEntry bad;
             bad.name = "version.txt";
             bad.data = "2.0";
             bad.declaredCrc = 0x12345678;
             zip.Add(bad);
             zip.Close();
         },
         "ExtractZipToDir failed: 1: entry \"version.txt\": data does not match its CRC"},
        {"a client program that could not start",
         [this] {
             tavlin_test::ZipBuilder zip(params.zipPath);
             zip.AddFile("version.txt", "2.0").AddFile("tavlin.exe", "MZ a Windows program", 0644);
             zip.Close();
         },
         "ExtractZipToDir failed: 1: entry \"tavlin.exe\": would not be executable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(i_ + "launcher.starts");
        fs::remove(w_ + "InstallZebApp.registered");
        WriteInstallation(kOld);
        c.writePackage();
        MarkLogStart();

        const auto seen = Install("closeButton", "closeButton");

        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].kind, "tips");
        EXPECT_EQ(seen[1].kind, "launch");
        // The installation stays whole, and the package goes, so the
        // launcher does not try it again.
        ExpectOld();
        EXPECT_FALSE(fs::exists(params.zipPath));
        ExpectRegisteredAndRelaunched();
        const auto messages = InstallMessages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].rfind(c.record, 0), 0u) << messages[0];
        EXPECT_EQ(messages[1], FailureRecord(params));
    }
}

// --- real client processes ---

class ClientInstallTest : public DoInstallTest {
protected:
    void SetUp() override {
        DoInstallTest::SetUp();
        if (!Isolated()) GTEST_SKIP() << "needs a PID namespace of its own";
        tavlin_test::BecomeSubreaper();
    }
    void TearDown() override {
        clients_.clear();
        tavlin_test::KillProcessesBelow(root_.path());
        DoInstallTest::TearDown();
    }

    // Runs argv as a client and waits until a "tavlin.exe" runs.
    void StartClient(std::vector<std::string> argv) {
        tavlin_test::SpawnOptions options;
        options.argv = std::move(argv);
        clients_.emplace_back();
        ASSERT_TRUE(clients_.back().Start(options)) << clients_.back().error();
        ASSERT_TRUE(tavlin_test::WaitUntil([] { return FindProcess_ByName("tavlin.exe") != 0; }, 5000));
    }

    std::vector<tavlin_test::ChildProcess> clients_;
};

TEST_F(ClientInstallTest, TheRunningClientIsStoppedBeforeItsFilesAreReplaced) {
    WriteInstallation(kOld);
    fs::remove(i_ + "tavlin.exe");
    fs::copy_file(TAVLIN_IDLE_PROGRAM, i_ + "tavlin.exe");
    WritePackage(kNew);
    StartClient({i_ + "tavlin.exe"});
    // Only the records written from here on count.
    MarkLogStart();

    Install("closeButton", "closeButton");

    EXPECT_TRUE(clients_[0].Wait(5000));
    EXPECT_EQ(FindProcess_ByName("tavlin.exe"), 0);
    EXPECT_EQ(InstallMessages(), (std::vector<std::string>{"Orb is running", "install success"}));
    ExpectNew();
    ExpectRegisteredAndRelaunched();
}

TEST_F(ClientInstallTest, AClientThatKeepsComingBackEndsTheStopLoopAtItsBound) {
    WriteInstallation(kOld);
    WritePackage(kNew);
    // A watchdog that starts the client again as soon as it ends.
    fs::create_directories(root_ / "client");
    const std::string client = root_ / "client/tavlin.exe";
    fs::copy_file(TAVLIN_IDLE_PROGRAM, client);
    StartClient({"/bin/sh", "-c", "i=0; while [ $i -lt 1000 ]; do \"$0\"; i=$((i+1)); done", client});
    MarkLogStart();

    const auto start = std::chrono::steady_clock::now();
    const auto seen = Install("closeButton", "closeButton");
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, "tips");
    EXPECT_EQ(seen[1].kind, "launch");
    EXPECT_GE(elapsed, std::chrono::milliseconds(hooks.clientStopLimitMs));
    // Nothing is replaced under a running client: the launcher applies the
    // package at its next start.
    ExpectOld();
    EXPECT_TRUE(fs::exists(params.zipPath));
    ExpectRegisteredAndRelaunched();

    const auto messages = InstallMessages();
    ASSERT_GE(messages.size(), 4u);
    for (size_t n = 0; n + 2 < messages.size(); ++n) EXPECT_EQ(messages[n], "Orb is running");
    EXPECT_EQ(messages[messages.size() - 2].rfind("Orb is still running after ", 0), 0u) << messages[messages.size() - 2];
    EXPECT_EQ(messages.back(), FailureRecord(params));
}

// --- the real waits ---

class DoInstallSlowTest : public DoInstallTest {};

// The production bounds: about thirty attempts two seconds apart.
TEST_F(DoInstallSlowTest, AnUnusableUnpackTargetIsRetriedForAMinute) {
    if (!Isolated()) GTEST_SKIP() << "needs a PID namespace of its own";
    hooks = InstallHooks{};
    ASSERT_TRUE(tavlin_test::WriteFileText(root_ / "blocked", "a file"));
    params.extractDir = root_ / "blocked/";
    WriteInstallation(kOld);
    WritePackage(kNew);

    const auto start = std::chrono::steady_clock::now();
    const auto seen = Install("closeButton", "closeButton", 120000);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, "tips");
    EXPECT_GE(elapsed, std::chrono::milliseconds(60000));
    ExpectOld();
    ExpectRegisteredAndRelaunched();
    EXPECT_EQ(InstallMessages(), std::vector<std::string>{FailureRecord(params)});
}

}  // namespace
}  // namespace install_test
