// tavlin-fetch --job as a process: the whole job run in a network namespace
// of its own, once with no network at all (unshare -n) and once with a
// package served inside the namespace.
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "job_fixture.h"

namespace fs = std::filesystem;
using namespace job_test;
using tavlin_test::ChildProcess;
using tavlin_test::SpawnOptions;

namespace {

bool CanUnshareNetwork() {
    const std::string unshare = tavlin_test::FindProgram("unshare");
    return !unshare.empty() &&
           tavlin_test::Run({unshare, "-n", "true"}, tavlin_test::Environment::Inherit(), 10000).exitCode == 0;
}

}  // namespace

// No network anywhere: the worker's failure comes first, then the watcher's
// retries 0 to 9 and its failure; a stop signal then releases the job while
// the engine is still retrying.
TEST(FetchJob, WithoutANetworkNotifiesAndStopsOnSignal) {
    if (!CanUnshareNetwork()) GTEST_SKIP() << "this machine cannot make network namespaces (unshare -n failed)";
    tavlin_test::TempDir dir("tavlin-fetchjob-");
    ChildProcess child;
    SpawnOptions options;
    options.argv = {tavlin_test::FindProgram("unshare"), "-n", TAVLIN_FETCH, "--job", "--md5", "00", "http://127.0.0.1:9/update.zip",
                    dir.path()};
    ASSERT_TRUE(child.Start(options)) << child.error();

    std::string expected = "failure\n";
    for (int i = 0; i < 10; ++i) expected += "retry " + std::to_string(i) + "\n";
    expected += "failure\n";
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return child.Stdout().size() >= expected.size(); }, 10000))
        << child.Stdout() << child.Stderr();
    EXPECT_EQ(child.Stdout(), expected);

    ::kill(child.pid(), SIGTERM);
    ASSERT_TRUE(child.Wait(10000)) << "the job was not released";
    EXPECT_EQ(child.exitCode(), 1);
    EXPECT_EQ(child.Stdout(), expected + "released\n");
}

TEST(FetchJob, DownloadsVerifiesAndRegisters) {
    std::string why;
    std::unique_ptr<NetLab> lab = NetLab::CreateWithLink(&why);
    if (!lab) GTEST_SKIP() << why;
    tavlin_test::TempDir dir("tavlin-fetchjob-");
    fs::copy_file(INSTALL_ZEB_APP, dir / "InstallZebApp.dll");
    const std::string package = PackageBytes(2 * 1024 * 1024 + 3);
    std::unique_ptr<download_test::FaultServer> server;
    lab->Run([&] {
        server = std::make_unique<download_test::FaultServer>(
            [package](const download_test::HttpRequest& r) { return download_test::ServeFile(r, package); });
    });

    const tavlin_test::RunResult run =
        tavlin_test::Run({tavlin_test::FindProgram("ip"), "netns", "exec", lab->name(), TAVLIN_FETCH, "--job", "--md5", Md5Hex(package),
                          server->Url("/update.zip"), dir.path()},
                         tavlin_test::Environment::Inherit(), 30000);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "finished " + std::to_string(package.size()) + " of " + std::to_string(package.size()) +
                           " bytes\n");
    EXPECT_EQ(fs::file_size(dir / "update.zip"), package.size());
    EXPECT_TRUE(fs::exists(dir / "InstallZebApp.registered"));
}
