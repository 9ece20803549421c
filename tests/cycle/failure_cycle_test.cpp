// A package whose digest does not match: the updater deletes it, shows the
// failure prompt and ends once the prompt is answered; confirming opens the
// download page.
#include "cycle_fixture.h"
#include "nginx_server.h"

namespace cycle_test {
namespace {

class DigestMismatchTest : public CycleTest {};

TEST_F(DigestMismatchTest, FailurePromptEndsTheUpdater) {
    struct Case {
        const char* key;
        bool pageOpened;
    };
    const Case cases[] = {{"Return", true}, {"Escape", false}};
    MakePackage(Www("update.zip"), VersionFiles("2.0"));
    download_test::NginxServer nginx(Www(""));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const size_t pagesBefore = OpenedPages().size();
        // The digest of other bytes, in capitals: a mismatch, not a case slip.
        ChildProcess updater = StartUpdater(
            {"-url=" + nginx.Url("/update.zip"), "-md5=0123456789ABCDEF0123456789ABCDEF", "-newver=2.0"});

        const std::string prompt = WaitForClass(kPromptClass);
        ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
        EXPECT_EQ(WindowName(prompt), "vostrapanel提示");
        KeepShot(Capture(prompt), std::string("mismatch-") + c.key);
        EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip"))) << "a package that failed its digest was kept";
        EXPECT_TRUE(Registrations().empty());
        EXPECT_TRUE(updater.Alive()) << "the updater ended before the prompt was answered";

        ASSERT_TRUE(PressKey(prompt, c.key));
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end after the prompt";
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
        if (c.pageOpened) {
            ASSERT_TRUE(tavlin_test::WaitUntil([&] { return OpenedPages().size() > pagesBefore; }, 10000));
            EXPECT_EQ(OpenedPages().back(), TAVLIN_DOWNLOAD_PAGE);
        } else {
            EXPECT_EQ(OpenedPages().size(), pagesBefore);
        }
        EXPECT_TRUE(Registrations().empty());
        EXPECT_TRUE(ClientCalls("args").empty());
    }
}

// Forced mode without the notice (forcedupdate 2): the client is stopped
// for the download, but a package that fails its digest is neither
// installed nor followed by a start of the launcher.
TEST_F(DigestMismatchTest, ForcedUpdateInstallsNothing) {
    MakePackage(Www("update.zip"), VersionFiles("3.0"));
    download_test::NginxServer nginx(Www(""));
    ChildProcess client = StartClient();
    ASSERT_FALSE(HasFailure());
    ChildProcess updater = StartUpdater({"-url=" + nginx.Url("/update.zip"),
                                         "-md5=0123456789abcdef0123456789abcdef", "-forcedupdate=2",
                                         "-pagecallparam=/room?id=7"});

    const std::string prompt = WaitForClass(kPromptClass);
    ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
    EXPECT_TRUE(client.Wait(kProcessTimeoutMs)) << "the forced job did not stop the client";
    ASSERT_TRUE(PressKey(prompt, "Escape"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();

    // A launcher the updater had started would be running from the
    // installation now (its start waits for the program to be executed),
    // or the client it started would.
    EXPECT_TRUE(tavlin_test::ProcessesBelow(install_).empty());
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "1.0");
    EXPECT_FALSE(tavlin_test::FileExists(Installed("plugins/chat/chat-3.0.txt")));
    EXPECT_TRUE(WindowsOfClass(kFinishedClass).empty());
    EXPECT_TRUE(Registrations().empty());
    EXPECT_EQ(ClientCalls("args").size(), 1u) << "a client was started after a failed update";
}

}  // namespace
}  // namespace cycle_test
