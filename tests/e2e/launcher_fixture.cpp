#include "launcher_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "calls_file.h"

namespace fs = std::filesystem;

namespace tavlin_e2e {

namespace {

// As installed: the launcher with its question box, the client programs.
const char* const kPrograms[] = {"TavlinLaunch.exe", "TavlinLaunchQuestion.so", "tavlin.exe",
                                 "tavlinCacheAssistant.exe"};

void CopyProgram(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

}  // namespace

std::string BinDir() {
    const char* fromEnv = std::getenv("TAVLIN_BIN_DIR");
    return fromEnv && *fromEnv ? fromEnv : TAVLIN_BIN_DIR;
}

std::vector<std::string> LogRecords(const std::string& output) {
    std::vector<std::string> records;
    size_t pos = 0;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(pos, end - pos);
        pos = end + 1;
        int y, mo, d, h, mi, s, consumed = -1;
        if (std::sscanf(line.c_str(), "[ORB][I][%4d-%2d-%2d %2d:%2d:%2d] %n", &y, &mo, &d, &h, &mi, &s,
                        &consumed) == 6 &&
            consumed > 0 && line[static_cast<size_t>(consumed) - 2] == ']')
            records.push_back(line.substr(static_cast<size_t>(consumed)));
    }
    return records;
}

std::string KeyValue(const std::string& text, const std::string& key) {
    const std::string start = key + "=";
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        if (text.compare(pos, start.size(), start) == 0)
            return text.substr(pos + start.size(), end - pos - start.size());
        pos = end + 1;
    }
    return {};
}

void LauncherTest::SetUp() {
    // The clients the launcher starts detached end up as our children, so
    // TearDown can reap them.
    tavlin_test::BecomeSubreaper();
    user_ = tavlin_test::MakeUserFolders(tmp_ / "user");
    // A space in the folder name: every path the launcher writes or quotes
    // must survive it.
    install_ = tmp_ / "Tavlin Client";
    fs::create_directories(install_);
    for (const char* program : kPrograms) {
        std::string from = BinDir() + "/" + program;
        ASSERT_TRUE(fs::exists(from)) << from << " is not built";
        CopyProgram(from, Installed(program));
    }
    env_ = tavlin_test::UserEnvironment(user_);
}

void LauncherTest::TearDown() {
    tavlin_test::KillProcessesBelow(tmp_.path());
    if (HasFailure() && std::getenv("TAVLIN_KEEP_TEMP")) {
        tmp_.Keep();
        std::printf("kept %s\n", tmp_.path().c_str());
    }
}

RunResult LauncherTest::RunLauncher(const std::vector<std::string>& args) {
    std::vector<std::string> argv{Installed("TavlinLaunch.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tavlin_test::Run(argv, env_, kProcessTimeoutMs, user_.home);
}

ChildProcess LauncherTest::StartLauncher(const std::vector<std::string>& args) {
    tavlin_test::SpawnOptions options;
    options.argv = {Installed("TavlinLaunch.exe")};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = env_;
    options.cwd = user_.home;
    ChildProcess launcher;
    EXPECT_TRUE(launcher.Start(options)) << launcher.error();
    return launcher;
}

ChildProcess LauncherTest::StartServingClient() {
    // A killed client leaves its socket file behind; the wait below must see
    // the new client's.
    std::error_code ec;
    fs::remove(PipeSocket(), ec);
    tavlin_test::SpawnOptions options;
    options.argv = {Installed("tavlin.exe")};
    options.env = env_;
    options.cwd = install_;
    ChildProcess client;
    EXPECT_TRUE(client.Start(options)) << client.error();
    EXPECT_TRUE(tavlin_test::WaitUntil(
        [&] { return tavlin_test::FileExists(PipeSocket()) || !client.Alive(); }, kRecordTimeoutMs))
        << "the client did not open its pipe";
    EXPECT_TRUE(client.Alive()) << client.Stderr();
    return client;
}

ChildProcess LauncherTest::StartSleeper(const std::string& name) {
    std::string dir = tmp_ / "other";
    fs::create_directories(dir);
    std::string path = dir + "/" + name;
    CopyProgram(tavlin_test::FindProgram("sleep"), path);
    tavlin_test::SpawnOptions options;
    options.argv = {path, "300"};
    options.env = env_;
    ChildProcess sleeper;
    EXPECT_TRUE(sleeper.Start(options)) << sleeper.error();
    return sleeper;
}

ChildProcess LauncherTest::StartOtherUsersSleeper(const std::string& name) {
    ChildProcess sleeper;
    const std::string setpriv = tavlin_test::FindProgram("setpriv");
    if (::geteuid() != 0 || setpriv.empty()) return sleeper;
    // The other user may pass through the test's folder to its own.
    fs::permissions(tmp_.path(), fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
    const std::string dir = tmp_ / "other-user";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const std::string path = dir + "/" + name;
    CopyProgram(tavlin_test::FindProgram("sleep"), path);
    tavlin_test::SpawnOptions options;
    const std::string id = std::to_string(kOtherUser);
    options.argv = {setpriv, "--reuid=" + id, "--regid=" + id, "--clear-groups", path, "300"};
    options.env = env_;
    if (!sleeper.Start(options)) return ChildProcess();
    const std::string proc = "/proc/" + std::to_string(sleeper.pid());
    const bool switched = tavlin_test::WaitUntil(
        [&] {
            struct stat st {};
            std::error_code ec;
            return !sleeper.Alive() ||
                   (::stat(proc.c_str(), &st) == 0 && st.st_uid == kOtherUser && fs::read_symlink(proc + "/exe", ec) == path);
        },
        kRecordTimeoutMs);
    if (!switched || !sleeper.Alive()) return ChildProcess();
    return sleeper;
}

ChildProcess LauncherTest::StartPipePeer(const std::string& mode) {
    std::error_code ec;
    fs::remove(PipeSocket(), ec);
    const std::string dir = tmp_ / "peer";
    fs::create_directories(dir);
    CopyProgram(TAVLIN_PIPE_PEER, dir + "/tavlin.exe");
    tavlin_test::SpawnOptions options;
    options.argv = {dir + "/tavlin.exe", mode};
    options.env = env_;
    ChildProcess peer;
    EXPECT_TRUE(peer.Start(options)) << peer.error();
    EXPECT_TRUE(tavlin_test::WaitUntil(
        [&] { return tavlin_test::FileExists(PipeSocket()) || !peer.Alive(); }, kRecordTimeoutMs))
        << "the peer did not open its pipe";
    EXPECT_TRUE(peer.Alive()) << peer.Stderr();
    return peer;
}

void LauncherTest::StopClients() {
    const std::string client = fs::weakly_canonical(Installed("tavlin.exe")).string();
    std::vector<pid_t> pids;
    for (pid_t pid : tavlin_test::ProcessesBelow(install_)) {
        std::error_code ec;
        if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string() == client)
            pids.push_back(pid);
    }
    EXPECT_TRUE(tavlin_test::KillAndReap(pids, kRecordTimeoutMs));
}

std::vector<ClientCall> LauncherTest::Calls() const {
    std::vector<tavlin_client::CallRecord> records;
    // A record caught half-written parses as the end of the file; the next
    // poll sees it whole.
    tavlin_client::ReadCallsFile(Installed("tavlin.calls"), records);
    std::vector<ClientCall> out;
    for (auto& r : records) {
        const char* kind = r.kind == tavlin_client::CallKind::Args   ? "args"
                           : r.kind == tavlin_client::CallKind::Pipe ? "pipe"
                                                                     : "version";
        out.push_back({kind, std::move(r.data)});
    }
    return out;
}

std::vector<ClientCall> LauncherTest::CallsOf(const std::string& kind) const {
    std::vector<ClientCall> out;
    for (auto& c : Calls())
        if (c.kind == kind) out.push_back(c);
    return out;
}

bool LauncherTest::WaitForCalls(const std::string& kind, size_t count, int timeoutMs) const {
    return tavlin_test::WaitUntil([&] { return CallsOf(kind).size() >= count; }, timeoutMs);
}

void LauncherTest::ZipFolder(const std::string& from, const std::string& zipPath) {
    fs::create_directories(fs::path(zipPath).parent_path());
    RunResult r = tavlin_test::Run({"zip", "-q", "-r", "-X", zipPath, "."}, Environment::Inherit(),
                                   kProcessTimeoutMs, from);
    ASSERT_TRUE(r.finished && r.exitCode == 0) << r.err;
}

void LauncherWithDisplayTest::SetUp() {
    if (!tavlin_test::HaveXvfbAndXdotool()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    LauncherTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(xvfb_.Start()) << xvfb_.error();
    env_.Set("DISPLAY", xvfb_.display());
}

void LauncherWithDisplayTest::AnswerQuestion(const std::string& title, const std::string& key) {
    std::string window = tavlin_test::FindWindowByName(env_, title);
    ASSERT_FALSE(window.empty()) << "no window named " << title << " appeared";
    ASSERT_TRUE(tavlin_test::PressKey(env_, window, key));
}

}  // namespace tavlin_e2e
