#include "platform/named_mutex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "child_process.h"
#include "runtime_env.h"

namespace {

using platform::NamedMutex;

constexpr const char* kName = "VREK_AutoUpdate";

TEST(NamedMutex, SecondHolderWaitsUntilRelease) {
    platform_test::PrivateRuntimeDir rt;
    NamedMutex a, b;
    ASSERT_TRUE(a.Create(kName));
    ASSERT_TRUE(b.Create(kName));
    EXPECT_FALSE(b.HeldElsewhere());
    // Asking must not leave the asker holding it.
    EXPECT_TRUE(a.Acquire(0));
    EXPECT_TRUE(a.Acquire(0)) << "the owner may take it again";
    EXPECT_FALSE(a.HeldElsewhere());
    EXPECT_TRUE(b.HeldElsewhere());
    EXPECT_FALSE(b.Acquire(0));
    EXPECT_FALSE(b.Acquire(120));

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        a.Release();
    });
    EXPECT_TRUE(b.Acquire(10000));
    releaser.join();
    EXPECT_TRUE(a.HeldElsewhere());
    b.Release();
    EXPECT_TRUE(a.Acquire(-1));
}

TEST(NamedMutex, DestroyedHolderReleases) {
    platform_test::PrivateRuntimeDir rt;
    NamedMutex b;
    ASSERT_TRUE(b.Create(kName));
    {
        NamedMutex a;
        ASSERT_TRUE(a.Create(kName));
        ASSERT_TRUE(a.Acquire(0));
        EXPECT_TRUE(b.HeldElsewhere());
    }
    EXPECT_FALSE(b.HeldElsewhere());
    EXPECT_TRUE(b.Acquire(0));
}

TEST(NamedMutex, KilledHolderProcessCountsAsReleased) {
    platform_test::PrivateRuntimeDir rt;
    tavlin_test::SpawnOptions options;
    options.argv = {PROBE_PATH};
    std::string out = rt.scratch() / "probe.out";
    options.env.Set("PROBE_OUT", out);
    options.env.Set("PROBE_LOCK", kName);
    tavlin_test::ChildProcess child;
    ASSERT_TRUE(child.Start(options)) << child.error();
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return tavlin_test::FileExists(out + ".locked"); }, 10000));

    NamedMutex m;
    ASSERT_TRUE(m.Create(kName));
    EXPECT_TRUE(m.HeldElsewhere());
    EXPECT_FALSE(m.Acquire(100));
    child.Kill();
    EXPECT_TRUE(m.Acquire(10000));
    EXPECT_FALSE(m.HeldElsewhere());
}

TEST(NamedMutex, NamesBecomeSafeFileNames) {
    platform_test::PrivateRuntimeDir rt;
    struct Case {
        const char* name;
        const char* file;
    } cases[] = {
        {"{11B0C527-BB62-4BE3-9769-26491D9845B4}", "{11B0C527-BB62-4BE3-9769-26491D9845B4}.lock"},
        {"TAVLIN_Win32_Instance_Mutex", "TAVLIN_Win32_Instance_Mutex.lock"},
        {"Global\\a/../b c", "Global_a_.._b_c.lock"},
        {"..", "_...lock"},
    };
    for (const Case& c : cases) {
        NamedMutex m;
        ASSERT_TRUE(m.Create(c.name)) << c.name;
        EXPECT_TRUE(std::filesystem::is_regular_file(rt.path() + "/" + c.file)) << c.name;
    }
    NamedMutex empty;
    EXPECT_FALSE(empty.Create(""));
    EXPECT_FALSE(empty.Acquire(0));
    EXPECT_FALSE(empty.HeldElsewhere());
}

TEST(NamedMutex, DifferentNamesDoNotMeet) {
    platform_test::PrivateRuntimeDir rt;
    NamedMutex a, b;
    ASSERT_TRUE(a.Create("VREK_AutoUpdate"));
    ASSERT_TRUE(b.Create("TAVLIN_Win32_Instance_Mutex"));
    ASSERT_TRUE(a.Acquire(0));
    EXPECT_FALSE(b.HeldElsewhere());
    EXPECT_TRUE(b.Acquire(0));
}

}  // namespace
