#include "platform/named_mutex.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "platform/spawn.h"
#include "win_test_util.h"

namespace {

using win_test::ScopedEnv;
using win_test::TempDir;

std::string UniqueName(const char* tag) {
    return std::string("tavlin-test-") + tag + "-" + std::to_string(::GetCurrentProcessId());
}

// A probe process that holds the named mutex `name` until it is killed.
class Holder {
public:
    explicit Holder(const std::string& name) {
        ScopedEnv out(L"PROBE_OUT", (dir_ / L"probe.out").wstring());
        ScopedEnv lock(L"PROBE_LOCK", win_test::W(name));
        pid_ = platform::StartDetachedFromPath(win_test::ProbePath(), {});
        if (pid_ > 0) process_ = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid_));
    }
    ~Holder() {
        Kill();
        if (process_) ::CloseHandle(process_);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool WaitLocked() {
        return process_ && win_test::WaitUntil([&] { return std::filesystem::exists(dir_ / L"probe.out.locked"); }, 20000);
    }
    void Kill() {
        if (process_ && ::TerminateProcess(process_, 1)) ::WaitForSingleObject(process_, 10000);
    }

private:
    TempDir dir_;
    pid_t pid_ = 0;
    HANDLE process_ = nullptr;
};

TEST(NamedMutexWin, HeldByAnotherProcessIsSeenAndAbandonedCountsAsAcquired) {
    const std::string name = UniqueName("held");
    Holder holder(name);
    ASSERT_TRUE(holder.WaitLocked()) << "the probe did not take the mutex";

    platform::NamedMutex mutex;
    ASSERT_TRUE(mutex.Create(name));
    EXPECT_TRUE(mutex.HeldElsewhere());
    EXPECT_FALSE(mutex.Acquire(0));
    EXPECT_FALSE(mutex.Acquire(100));

    // The holder dies without releasing: the waiter gets it.
    holder.Kill();
    EXPECT_TRUE(mutex.Acquire(5000));
    EXPECT_FALSE(mutex.HeldElsewhere());
}

TEST(NamedMutexWin, SecondHolderWaitsUntilRelease) {
    const std::string name = UniqueName("wait");
    platform::NamedMutex first;
    ASSERT_TRUE(first.Create(name));
    ASSERT_TRUE(first.Acquire(0));
    EXPECT_TRUE(first.Acquire(0)) << "taking it again while held is a no-op";

    bool secondGot = false;
    bool sawHeld = false;
    std::thread other([&] {
        platform::NamedMutex second;
        if (!second.Create(name)) return;
        sawHeld = second.HeldElsewhere() && !second.Acquire(50);
        secondGot = second.Acquire(10000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    first.Release();
    other.join();
    EXPECT_TRUE(sawHeld);
    EXPECT_TRUE(secondGot);
}

TEST(NamedMutexWin, DestroyedHolderReleases) {
    const std::string name = UniqueName("destroyed");
    bool heldWhileAlive = false;
    {
        auto holder = std::make_unique<platform::NamedMutex>();
        ASSERT_TRUE(holder->Create(name));
        ASSERT_TRUE(holder->Acquire(0));
        std::thread([&] {
            platform::NamedMutex probe;
            heldWhileAlive = probe.Create(name) && probe.HeldElsewhere();
        }).join();
    }
    EXPECT_TRUE(heldWhileAlive);
    // Taken from another thread, which a mutex its owner thread still held
    // (closed but not released) would refuse until that thread ended.
    bool got = false;
    std::thread([&] {
        platform::NamedMutex again;
        got = again.Create(name) && again.Acquire(0);
    }).join();
    EXPECT_TRUE(got);
}

TEST(NamedMutexWin, BackslashDoesNotChooseANamespaceAndNamesStaySeparate) {
    platform::NamedMutex a, b, c;
    ASSERT_TRUE(a.Create("Global\\" + UniqueName("ns")));
    ASSERT_TRUE(b.Create("Global_" + UniqueName("ns")));
    ASSERT_TRUE(a.Acquire(0));
    bool sameHeld = false, otherFree = false;
    std::thread([&] {
        platform::NamedMutex same, other;
        sameHeld = same.Create("Global_" + UniqueName("ns")) && same.HeldElsewhere();
        otherFree = other.Create(UniqueName("ns-other")) && !other.HeldElsewhere();
    }).join();
    EXPECT_TRUE(sameHeld);
    EXPECT_TRUE(otherFree);
    EXPECT_FALSE(c.Create(""));
}

}  // namespace
