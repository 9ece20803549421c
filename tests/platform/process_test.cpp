#include "platform/process.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "child_process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tavlin_test::ChildProcess;
using tavlin_test::TempDir;

std::string NameOf(pid_t pid) {
    std::vector<platform::ProcessEntry> list;
    if (!platform::SnapshotProcesses(list)) return "<no snapshot>";
    for (const auto& e : list)
        if (e.pid == pid) return e.exeName;
    return "<absent>";
}

// Starts a copy of sleep under `name` in `dir`.
void StartSleeper(ChildProcess& child, const TempDir& dir, const std::string& name) {
    fs::copy_file("/bin/sleep", dir / name);
    tavlin_test::SpawnOptions options;
    options.argv = {dir / name, "30"};
    ASSERT_TRUE(child.Start(options)) << child.error();
}

class ProcessNames : public testing::TestWithParam<const char*> {};

TEST_P(ProcessNames, SnapshotShowsExecutableFileNameExactly) {
    TempDir dir;
    ChildProcess child;
    StartSleeper(child, dir, GetParam());
    EXPECT_EQ(NameOf(child.pid()), GetParam());
}

// Letter case kept (callers compare case-sensitively), and names longer than
// the kernel's 15-character task name come out whole.
INSTANTIATE_TEST_SUITE_P(Cases, ProcessNames,
                         testing::Values("tavlin.exe", "Tavlin.exe", "tavlinCacheAssistant.exe",
                                         "name with space.exe"),
                         [](const testing::TestParamInfo<const char*>& i) { return "case" + std::to_string(i.index); });

TEST(Process, SnapshotIsSortedAndHoldsOurselves) {
    std::vector<platform::ProcessEntry> list;
    ASSERT_TRUE(platform::SnapshotProcesses(list));
    ASSERT_FALSE(list.empty());
    for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1].pid, list[i].pid);
    EXPECT_EQ(NameOf(::getpid()), fs::read_symlink("/proc/self/exe").filename().string());
}

TEST(Process, DeletedExecutableKeepsItsName) {
    TempDir dir;
    ChildProcess child;
    StartSleeper(child, dir, "tavlin.exe");
    fs::remove(dir / "tavlin.exe");
    ASSERT_TRUE(fs::read_symlink("/proc/" + std::to_string(child.pid()) + "/exe").string().ends_with(" (deleted)"));
    EXPECT_EQ(NameOf(child.pid()), "tavlin.exe");
}

TEST(Process, EndedButUnreapedChildIsNotListed) {
    TempDir dir;
    ChildProcess child;
    StartSleeper(child, dir, "tavlin.exe");
    ASSERT_EQ(NameOf(child.pid()), "tavlin.exe");
    // Killed but not reaped: a zombie must not pass for a running client.
    ASSERT_EQ(::kill(child.pid(), SIGKILL), 0);
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return !tavlin_test::ProcessAlive(child.pid()); }, 5000));
    std::string state = tavlin_test::ReadFileText("/proc/" + std::to_string(child.pid()) + "/stat");
    ASSERT_NE(state.find(") Z"), std::string::npos) << state;
    EXPECT_EQ(NameOf(child.pid()), "<absent>");
}

constexpr uid_t kOtherUser = 65534;

// Starts a copy of sleep named `name` as the user kOtherUser (through
// setpriv); false when this process may not switch users.
bool StartOtherUsersSleeper(ChildProcess& child, const TempDir& dir, const std::string& name) {
    const std::string setpriv = tavlin_test::FindProgram("setpriv");
    if (::geteuid() != 0 || setpriv.empty()) return false;
    // The other user must be able to reach and run the copy.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    fs::copy_file("/bin/sleep", dir / name);
    tavlin_test::SpawnOptions options;
    options.argv = {setpriv, "--reuid=" + std::to_string(kOtherUser), "--regid=" + std::to_string(kOtherUser),
                    "--clear-groups", dir / name, "30"};
    if (!child.Start(options)) return false;
    const std::string proc = "/proc/" + std::to_string(child.pid());
    return tavlin_test::WaitUntil(
        [&] {
            struct stat st {};
            std::error_code ec;
            return ::stat(proc.c_str(), &st) == 0 && st.st_uid == kOtherUser &&
                   fs::read_symlink(proc + "/exe", ec).filename() == name;
        },
        5000);
}

// On a shared machine another user's client is not ours: not listed, so
// nothing built on the walk asks about it or stops it.
TEST(Process, OtherUsersProcessesAreNotListed) {
    TempDir mine, theirs;
    ChildProcess own, other;
    if (!StartOtherUsersSleeper(other, theirs, "tavlin.exe")) GTEST_SKIP() << "cannot run a process as another user";
    StartSleeper(own, mine, "tavlin.exe");
    EXPECT_EQ(NameOf(own.pid()), "tavlin.exe");
    EXPECT_EQ(NameOf(other.pid()), "<absent>");
    bool seen = false;
    platform::ForEachProcess([&](const platform::ProcessEntry& e) {
        seen = seen || e.pid == other.pid();
        return true;
    });
    EXPECT_FALSE(seen);
}

TEST(Process, ForEachStopsWhenTheVisitorSaysSo) {
    int visits = 0;
    ASSERT_TRUE(platform::ForEachProcess([&](const platform::ProcessEntry&) { return ++visits < 2; }));
    EXPECT_EQ(visits, 2);
}

// OpenEntry takes only the very process the walk saw: once that one has
// ended, or its PID names another program, the entry opens nothing.
TEST(Process, OpenEntryRefusesAnEntryThatNoLongerMatches) {
    TempDir dir;
    ChildProcess child;
    StartSleeper(child, dir, "tavlin.exe");
    ASSERT_EQ(NameOf(child.pid()), "tavlin.exe");
    const platform::ProcessEntry entry{child.pid(), "tavlin.exe"};

    errno = 0;
    EXPECT_FALSE(platform::ProcessHandle::OpenEntry({child.pid(), "qelclient.exe"}).valid());
    EXPECT_EQ(errno, ESRCH);

    platform::ProcessHandle h = platform::ProcessHandle::OpenEntry(entry);
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(h.pid(), child.pid());
    EXPECT_TRUE(h.Terminate());
    EXPECT_TRUE(h.WaitExit(5000));

    // Ended but not reaped yet, then gone: neither opens.
    errno = 0;
    EXPECT_FALSE(platform::ProcessHandle::OpenEntry(entry).valid());
    EXPECT_EQ(errno, ESRCH);
    ASSERT_TRUE(child.Wait(5000));
    errno = 0;
    EXPECT_FALSE(platform::ProcessHandle::OpenEntry(entry).valid());
    EXPECT_EQ(errno, ESRCH);
}

TEST(Process, TerminateKillsAndWaitExitSeesIt) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (;;) ::pause();
    }
    platform::ProcessHandle h = platform::ProcessHandle::Open(pid);
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(h.pid(), pid);
    EXPECT_TRUE(h.Alive());
    EXPECT_FALSE(h.WaitExit(50));
    EXPECT_TRUE(h.Terminate());
    EXPECT_TRUE(h.WaitExit(5000));
    EXPECT_FALSE(h.Alive());

    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    // Reaped: the pidfd refuses to signal whatever may now hold the PID.
    EXPECT_FALSE(h.Terminate());
}

TEST(Process, OpenOfMissingProcessIsInvalid) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    platform::ProcessHandle h = platform::ProcessHandle::Open(pid);
    EXPECT_FALSE(h.valid());
    EXPECT_FALSE(h.Terminate());
    EXPECT_FALSE(h.Alive());
    EXPECT_FALSE(platform::ProcessHandle::Open(0).valid());
}

}  // namespace
