// Finding and stopping the client programs, against real processes: copies
// of an idle program named tavlin.exe, qelclient.exe and the like.
//
// ctest runs this program alone in a PID namespace where it can (see
// isolated.sh), so only its own children are found and killed there.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/process_op.h"
#include "app/zebUtil.h"
#include "child_process.h"
#include "log/FileLogger.h"
#include "log_files.h"
#include "platform/process.h"
#include "temp_dir.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr int kExitWaitMs = 5000;

bool Isolated() { return ::getpid() == 1; }

class ClientProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Children are reaped by the kernel, so a killed one vanishes from
        // /proc at once instead of lingering as a zombie of ours.
        ::signal(SIGCHLD, SIG_IGN);
        state_ = std::make_unique<tavlin_test::TempDir>("updater-proc-state-");
        ::setenv("XDG_STATE_HOME", state_->path().c_str(), 1);
        FileLogger* log = FileLogger::Instance();
        log->Open("zebUpdater");
        log->maxLevel = 0;
        log->exactLevel = -1;
    }

    void SetUp() override {
        ASSERT_TRUE(FileLogger::Instance()->Drain(10000));
        logText_ = ReadLog();
    }

    void TearDown() override {
        for (auto& [pid, process] : children_) process.Terminate();
        for (auto& [pid, process] : children_) process.WaitExit(kExitWaitMs);
    }

    static std::string ReadLog() {
        const auto files = updater_test::LogFiles(
            updater_test::LogFolder(state_->path(), fs::read_symlink("/proc/self/exe").filename().string()),
            "zebUpdater");
        return files.size() == 1 ? tavlin_test::ReadFileText(files[0]) : std::string();
    }

    // Log lines written since the test began.
    std::vector<std::string> NewLogLines() {
        EXPECT_TRUE(FileLogger::Instance()->Drain(10000));
        std::string text = ReadLog();
        return updater_test::SplitLines(text.substr(std::min(text.size(), logText_.size())));
    }

    // Starts a copy of the idle program under the file name `name`.
    pid_t Start(const std::string& name) {
        const std::string folder = tmp_ / std::to_string(children_.size());
        fs::create_directories(folder);
        const std::string program = folder + "/" + name;
        fs::copy_file(TAVLIN_IDLE_PROGRAM, program);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            ADD_FAILURE() << "cannot start " << program;
            return 0;
        }
        children_.emplace(pid, platform::ProcessHandle::Open(pid));
        return pid;
    }

    // Starts a copy of the idle program named `name` as another user (uid
    // 65534); 0 when this process may not switch users.
    pid_t StartAsOtherUser(const std::string& name) {
        constexpr uid_t kOther = 65534;
        if (::geteuid() != 0) return 0;
        const std::string folder = tmp_ / ("other" + std::to_string(children_.size()));
        fs::create_directories(folder);
        // The other user must reach the copy through our folders.
        fs::permissions(tmp_.path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
        fs::permissions(folder, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
        const std::string program = folder + "/" + name;
        fs::copy_file(TAVLIN_IDLE_PROGRAM, program);
        fs::permissions(program, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) return 0;
        const pid_t pid = ::fork();
        if (pid == 0) {
            char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
            if (::setgroups(0, nullptr) == 0 && ::setresgid(kOther, kOther, kOther) == 0 &&
                ::setresuid(kOther, kOther, kOther) == 0)
                ::execv(argv[0], argv);
            const int err = errno;
            (void)!::write(report[1], &err, sizeof err);
            ::_exit(127);
        }
        ::close(report[1]);
        int err = 0;
        const bool failed = pid < 0 || ::read(report[0], &err, sizeof err) > 0;
        ::close(report[0]);
        if (failed) return 0;
        children_.emplace(pid, platform::ProcessHandle::Open(pid));
        return pid;
    }

    bool Ended(pid_t pid) { return children_.at(pid).WaitExit(kExitWaitMs); }
    bool Running(pid_t pid) { return children_.at(pid).Alive(); }

    static std::vector<std::string> KillMessages(const std::vector<std::string>& lines) {
        return updater_test::MessagesOf(lines, "zeb::KillOrbProcess");
    }

    static std::unique_ptr<tavlin_test::TempDir> state_;
    tavlin_test::TempDir tmp_{"updater-proc-"};
    std::map<pid_t, platform::ProcessHandle> children_;
    std::string logText_;
};

std::unique_ptr<tavlin_test::TempDir> ClientProcessTest::state_;

TEST_F(ClientProcessTest, FindsByFileNameFoldingOnlyAToZ) {
    const pid_t mixed = Start("TaVlin.EXE");
    const pid_t longer = Start("tavlin.exe2");
    const pid_t dotless = Start("tavl\xc4\xb1n.exe");  // dotless i
    struct Case {
        const char* name;
        pid_t pid;
    };
    const Case cases[] = {
        {"tavlin.exe", mixed},   {"TAVLIN.EXE", mixed},     {"TAVLIN.EXE2", longer},
        {"tavlin.ex", 0},        {"tavl\xc4\xb1n.exe", dotless}, {"TAVL\xc4\xb1N.EXE", dotless},
        {"qelclient.exe", 0},    {"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(FindProcess_ByName(c.name), c.pid) << c.name;
}

// On a shared machine another user's clients are not the user's: not found,
// not stopped.
TEST_F(ClientProcessTest, AnotherUsersClientsAreNeitherFoundNorStopped) {
    const pid_t theirs = StartAsOtherUser("tavlin.exe");
    if (theirs == 0) GTEST_SKIP() << "cannot run a process as another user here";
    const pid_t theirQel = StartAsOtherUser("qelclient.exe");
    ASSERT_NE(theirQel, 0);
    EXPECT_EQ(FindProcess_ByName("tavlin.exe"), 0);
    EXPECT_EQ(FindProcess_ByName("qelclient.exe"), 0);

    const pid_t mine = Start("tavlin.exe");
    EXPECT_EQ(FindProcess_ByName("tavlin.exe"), mine);
    EXPECT_FALSE(zeb::KillOrbProcess());
    EXPECT_TRUE(Ended(mine));
    EXPECT_TRUE(Running(theirs));
    EXPECT_TRUE(Running(theirQel));
}

TEST_F(ClientProcessTest, LogsEveryProcessLookedAtBeforeTheMatch) {
    if (!Isolated()) GTEST_SKIP() << "needs a PID namespace of its own";
    Start("a.exe");
    const pid_t target = Start("tavlin.exe");
    Start("z.exe");
    std::vector<platform::ProcessEntry> processes;
    ASSERT_TRUE(platform::SnapshotProcesses(processes));
    std::vector<std::string> before, all;
    for (const auto& entry : processes) {
        if (entry.pid < target) before.push_back(" " + entry.exeName + " ");
        all.push_back(" " + entry.exeName + " ");
    }

    ASSERT_EQ(FindProcess_ByName("tavlin.exe"), target);
    EXPECT_EQ(updater_test::MessagesOf(NewLogLines(), "FindProcess_ByName"), before);
    SetUp();
    ASSERT_EQ(FindProcess_ByName("nothing.exe"), 0);
    EXPECT_EQ(updater_test::MessagesOf(NewLogLines(), "FindProcess_ByName"), all);
}

TEST_F(ClientProcessTest, KillStopsTavlinThenQelclient) {
    const std::string notRunning = "air client is not running";
    const std::string success = "kill air client success";
    struct Case {
        std::vector<std::string> names;
        bool result;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {{}, false, {notRunning, notRunning}},
        {{"tavlin.exe"}, false, {success, notRunning}},
        {{"qelclient.exe"}, true, {notRunning, success}},
        {{"tavlin.exe", "qelclient.exe"}, true, {success, success}},
        {{"qelclient.exe", "tavlin.exe"}, true, {success, success}},
        {{"TAVLIN.exe", "QelClient.EXE"}, true, {success, success}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.names));
        SetUp();
        std::vector<pid_t> pids;
        for (const std::string& name : c.names) pids.push_back(Start(name));
        EXPECT_EQ(zeb::KillOrbProcess(), c.result);
        for (pid_t pid : pids) EXPECT_TRUE(Ended(pid));
        const std::vector<std::string> lines = NewLogLines();
        EXPECT_EQ(KillMessages(lines), c.messages);
        updater_test::Record record;
        for (const std::string& line : lines) {
            if (updater_test::ParseRecord(line, record) && record.function == "zeb::KillOrbProcess") {
                EXPECT_EQ(record.source, "zebUtil");
            } else if (updater_test::ParseRecord(line, record)) {
                EXPECT_EQ(record.source, "process_op") << line;
                EXPECT_EQ(record.function, "FindProcess_ByName") << line;
            }
        }
    }
}

TEST_F(ClientProcessTest, WaitRunsItsFullBoundWhileASecondTavlinSurvives) {
    const pid_t first = Start("tavlin.exe");
    const pid_t second = Start("tavlin.exe");
    const pid_t qel = Start("qelclient.exe");
    const auto start = std::chrono::steady_clock::now();
    zeb::KillOrbProcessAndWait();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(3000));
    EXPECT_TRUE(Ended(first));
    EXPECT_TRUE(Ended(qel));
    EXPECT_TRUE(Running(second));
    EXPECT_EQ(KillMessages(NewLogLines()),
              (std::vector<std::string>{"kill air client success", "kill air client success"}));
}

TEST_F(ClientProcessTest, WaitEndsOnceTavlinIsGone) {
    const pid_t tavlin = Start("tavlin.exe");
    const pid_t qel = Start("qelclient.exe");
    const auto start = std::chrono::steady_clock::now();
    zeb::KillOrbProcessAndWait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000))
        << "waited out its bound although tavlin.exe was gone";
    EXPECT_TRUE(Ended(tavlin));
    EXPECT_TRUE(Ended(qel));
}

TEST_F(ClientProcessTest, NoWaitWhenQelclientWasNotKilled) {
    const pid_t tavlin = Start("tavlin.exe");
    zeb::KillOrbProcessAndWait();
    EXPECT_TRUE(Ended(tavlin));
    // The last records are the qelclient.exe lookup: no lookups follow.
    const std::vector<std::string> lines = NewLogLines();
    ASSERT_FALSE(lines.empty());
    updater_test::Record last;
    ASSERT_TRUE(updater_test::ParseRecord(lines.back(), last));
    EXPECT_EQ(last.message, "air client is not running");
    EXPECT_EQ(KillMessages(lines),
              (std::vector<std::string>{"kill air client success", "air client is not running"}));
}

}  // namespace
