#include "driver_fixture.h"

#include <filesystem>

namespace tavlin_driver_test {

namespace fs = std::filesystem;

namespace {

void CopyProgram(const std::string& name, const std::string& to) {
    fs::copy_file(fs::path(TAVLIN_BIN_DIR) / name, to, fs::copy_options::overwrite_existing);
}

}  // namespace

void UpdaterTest::SetUp() {
    user_ = tavlin_test::MakeUserFolders(tmp_ / "user");
    install_ = tmp_ / "install";
    fs::create_directories(install_ + "/temp");
    CopyProgram("tavlinUpdater.exe", Installed("temp/Updater.exe"));
    CopyProgram("zlib.dll", Installed("temp/zlib.dll"));
    CopyProgram("tavlin.exe", Installed("tavlin.exe"));
    CopyProgram("qelclient.exe", Installed("qelclient.exe"));
    SetLanguage("en_US.UTF-8");
}

void UpdaterTest::TearDown() {
    // Whatever still runs from the installation (a client the test left).
    tavlin_test::KillProcessesBelow(install_);
    if (HasFailure() && std::getenv("TAVLIN_KEEP_TEMP")) tmp_.Keep();
}

void UpdaterTest::SetLanguage(const std::string& lang) {
    std::string display = env_.Get("DISPLAY");
    env_ = tavlin_test::UserEnvironment(user_, lang);
    if (!display.empty()) env_.Set("DISPLAY", display);
    env_.Unset("TAVLIN_OFFSCREEN");
}

RunResult UpdaterTest::RunUpdater(const std::vector<std::string>& args) {
    std::vector<std::string> argv{Installed("temp/Updater.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tavlin_test::Run(argv, env_, kProcessTimeoutMs, tmp_.path());
}

ChildProcess UpdaterTest::StartUpdater(const std::vector<std::string>& args) {
    tavlin_test::SpawnOptions o;
    o.argv = {Installed("temp/Updater.exe")};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = env_;
    o.cwd = tmp_.path();
    ChildProcess child;
    EXPECT_TRUE(child.Start(o)) << child.error();
    return child;
}

ChildProcess UpdaterTest::HoldMutex(const std::string& name, double seconds) {
    tavlin_test::SpawnOptions o;
    o.argv = {TAVLIN_MUTEX_HOLDER, name, std::to_string(seconds)};
    o.env = env_;
    ChildProcess holder;
    EXPECT_TRUE(holder.Start(o)) << holder.error();
    bool held = tavlin_test::WaitUntil([&] { return holder.Stdout() == "held\n" || !holder.Alive(); }, 10000);
    EXPECT_TRUE(held && holder.Stdout() == "held\n") << "the holder did not get " << name << ": " << holder.Stderr();
    return holder;
}

ChildProcess UpdaterTest::StartInstalled(const std::string& name) {
    tavlin_test::SpawnOptions o;
    o.argv = {Installed(name)};
    o.env = env_;
    o.cwd = install_;
    ChildProcess child;
    EXPECT_TRUE(child.Start(o)) << child.error();
    return child;
}

}  // namespace tavlin_driver_test
