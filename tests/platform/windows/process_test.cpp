#include "platform/process.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/spawn.h"
#include "win_test_util.h"

namespace {

namespace fs = std::filesystem;
using win_test::TempDir;

// The probe copied under `name`, started to sleep until killed; killed at
// the end if still running.
class Sleeper {
public:
    explicit Sleeper(const std::wstring& name) {
        const fs::path exe = dir_ / name;
        fs::copy_file(win_test::W(win_test::ProbePath()), exe);
        win_test::ScopedEnv out(L"PROBE_OUT", (dir_ / L"probe.out").wstring());
        win_test::ScopedEnv sleep(L"PROBE_SLEEP", L"1");
        pid_ = platform::StartDetachedFromPath(win_test::U8(exe), {});
        if (pid_ > 0) own_ = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           static_cast<DWORD>(pid_));
        // Once it has reported, it is surely in the process list.
        win_test::ProbeOutput p;
        started_ = own_ && win_test::WaitUntil([&] { return win_test::ReadProbe(dir_ / L"probe.out", p); }, 20000);
    }
    ~Sleeper() {
        if (own_) {
            ::TerminateProcess(own_, 1);
            ::WaitForSingleObject(own_, 10000);
            ::CloseHandle(own_);
        }
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    bool started() const { return started_; }
    pid_t pid() const { return pid_; }
    HANDLE handle() const { return own_; }

private:
    TempDir dir_;
    pid_t pid_ = 0;
    HANDLE own_ = nullptr;
    bool started_ = false;
};

std::vector<platform::ProcessEntry> Snapshot() {
    std::vector<platform::ProcessEntry> list;
    EXPECT_TRUE(platform::SnapshotProcesses(list));
    return list;
}

const platform::ProcessEntry* Find(const std::vector<platform::ProcessEntry>& list, pid_t pid) {
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& e) { return e.pid == pid; });
    return it == list.end() ? nullptr : &*it;
}

TEST(ProcessWin, SnapshotIsSortedAndHoldsOurselves) {
    auto list = Snapshot();
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; }));
    const platform::ProcessEntry* self = Find(list, static_cast<pid_t>(::GetCurrentProcessId()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->exeName, "platform_tests.exe");
}

TEST(ProcessWin, SnapshotShowsExecutableNamesExactly) {
    for (const wchar_t* name : {L"tavlin.exe", L"Tavlin Client.exe", L"课堂客户端.exe"}) {
        Sleeper s(name);
        ASSERT_TRUE(s.started()) << win_test::U8(std::wstring(name));
        auto list = Snapshot();
        const platform::ProcessEntry* e = Find(list, s.pid());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->exeName, win_test::U8(std::wstring(name)));
    }
}

TEST(ProcessWin, TerminateEndsTheProcessWithExitCode9) {
    Sleeper s(L"tavlin.exe");
    ASSERT_TRUE(s.started());
    auto list = Snapshot();
    const platform::ProcessEntry* e = Find(list, s.pid());
    ASSERT_NE(e, nullptr);

    platform::ProcessHandle h = platform::ProcessHandle::OpenEntry(*e);
    ASSERT_TRUE(h.valid());
    EXPECT_TRUE(h.Alive());
    EXPECT_FALSE(h.WaitExit(50));
    ASSERT_TRUE(h.Terminate());
    EXPECT_TRUE(h.WaitExit(10000));
    EXPECT_FALSE(h.Alive());
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(s.handle(), &code));
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(Find(Snapshot(), s.pid()), nullptr) << "an ended process is still listed";
}

TEST(ProcessWin, OpenEntryRefusesAnEntryThatNoLongerMatches) {
    Sleeper s(L"tavlin.exe");
    ASSERT_TRUE(s.started());
    platform::ProcessEntry wrong{s.pid(), "qelclient.exe"};
    errno = 0;
    EXPECT_FALSE(platform::ProcessHandle::OpenEntry(wrong).valid());
    EXPECT_EQ(errno, ESRCH);
    // The name compares as Windows compares file names.
    platform::ProcessEntry otherCase{s.pid(), "TAVLIN.EXE"};
    EXPECT_TRUE(platform::ProcessHandle::OpenEntry(otherCase).valid());
}

TEST(ProcessWin, ForEachStopsWhenTheVisitorSaysSo) {
    int seen = 0;
    EXPECT_TRUE(platform::ForEachProcess([&](const platform::ProcessEntry&) { return ++seen < 2; }));
    EXPECT_EQ(seen, 2);
}

TEST(ProcessWin, OpenOfMissingProcessIsInvalid) {
    errno = 0;
    platform::ProcessHandle h = platform::ProcessHandle::Open(0);
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(h.Terminate());
    EXPECT_FALSE(h.Alive());
    EXPECT_TRUE(h.WaitExit(0));
}

}  // namespace
