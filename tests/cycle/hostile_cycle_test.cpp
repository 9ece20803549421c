// The updater as a process in a work folder that works against it: the
// failure prompt, not the completion, when the download cannot become the
// package.
#include "cycle_fixture.h"
#include "fault_server.h"
#include "platform/network.h"

namespace cycle_test {
namespace {

using download_test::FaultServer;
using download_test::HttpRequest;

class HostileCycleTest : public CycleTest {};

// Something in the package's place that the job cannot delete (a folder
// here; a file that appears after the job's clean-up takes the same way):
// the finished download cannot become the package. The digests followed
// the bytes as they arrived, so they match; the run must still fail rather
// than report a package that is not there as ready.
TEST_F(HostileCycleTest, PackageThatCannotTakeItsPlaceIsAFailure) {
    if (!platform::IsNetworkAlive()) GTEST_SKIP() << "no network: every run starts with a failure";
    const std::string data = WriteStoredPackage(Www("update.zip"), 2u << 20, 5);
    ASSERT_TRUE(tavlin_test::WriteFileText(Work("update.zip/stray.txt"), "not a package"));
    FaultServer server([&](const HttpRequest& r) { return download_test::ServeFile(r, data); });
    ChildProcess updater = StartUpdater({"-url=" + server.Url("/update.zip"), "-md5=" + Md5Hex(Www("update.zip"))});
    const std::string prompt = WaitForClass(kPromptClass);
    ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
    EXPECT_TRUE(Registrations().empty()) << "a package that is not in place was registered";
    const std::string window = WaitForClass(kProgressClass, 1);
    if (!window.empty()) {
        EXPECT_FALSE(WaitForGreen(window, 500)) << "completion shown for a missing package";
    }
    ASSERT_TRUE(PressKey(prompt, "Escape"));
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
}

}  // namespace
}  // namespace cycle_test
