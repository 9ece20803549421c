// Who may run: the instance mutex, "VREK_AutoUpdate" with its 10 s wait, the
// guard mutex and the argument check, each held by a real other process.
// No display: the runs that get through have no job (-forcedupdate=2) and
// end at once with 0.
#include <chrono>
#include <filesystem>

#include "driver_fixture.h"

namespace tavlin_driver_test {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kNoJob = {"-forcedupdate=2"};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class AdmissionTest : public UpdaterTest {};

TEST_F(AdmissionTest, NoArgumentIsRefusedAndLeavesNothingHeld) {
    RunResult bare = RunUpdater({});
    ASSERT_TRUE(bare.finished);
    EXPECT_EQ(bare.exitCode, kRefused);
    EXPECT_EQ(bare.out + bare.err, "") << "a refusal is silent";

    // The refused run let go of everything it took: the next one runs.
    RunResult next = RunUpdater(kNoJob);
    ASSERT_TRUE(next.finished);
    EXPECT_EQ(next.exitCode, 0) << next.err;
}

// Another updater (the instance mutex) or another owner of the guard mutex:
// refused without waiting for the other process to let go.
TEST_F(AdmissionTest, RefusedAtOnceWhileAnotherProcessHoldsTheInstanceOrGuardMutex) {
    for (const char* name : {kInstanceMutex, kGuardMutex}) {
        ChildProcess holder = HoldMutex(name, 60);
        RunResult run = RunUpdater(kNoJob);
        ASSERT_TRUE(run.finished) << name;
        EXPECT_EQ(run.exitCode, kRefused) << name;
        EXPECT_EQ(run.out + run.err, "") << name;
        EXPECT_TRUE(holder.Alive()) << name << ": the updater ended only after the holder let go";
        holder.Kill();
        ASSERT_TRUE(holder.Wait(10000));
    }
    // The holders are gone: nothing is left in the way.
    RunResult run = RunUpdater(kNoJob);
    EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST_F(AdmissionTest, AutoUpdateHeldPastTheWaitIsRefusedAfterTenSeconds) {
    ChildProcess holder = HoldMutex(kAutoUpdateMutex, 14);
    const auto start = Clock::now();
    RunResult run = RunUpdater(kNoJob);
    const double waited = SecondsSince(start);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, kRefused);
    EXPECT_GE(waited, 9.5) << "gave up before the 10 s wait was over";
    EXPECT_TRUE(holder.Alive()) << "the run outlasted the holder: the wait did not end at 10 s";
}

TEST_F(AdmissionTest, AutoUpdateReleasedWithinTheWaitLetsTheRunGoOn) {
    ChildProcess holder = HoldMutex(kAutoUpdateMutex, 3);
    const auto start = Clock::now();
    RunResult run = RunUpdater(kNoJob);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_GE(SecondsSince(start), 2.5) << "the run did not wait for the holder";
    EXPECT_TRUE(holder.Wait(10000));
    EXPECT_EQ(holder.exitCode(), 0);
}

// A holder that dies keeps nothing: the kernel drops its lock.
TEST_F(AdmissionTest, AutoUpdateHolderKilledWhileTheUpdaterWaits) {
    ChildProcess holder = HoldMutex(kAutoUpdateMutex, 60);
    ChildProcess updater = StartUpdater(kNoJob);
    // Waiting, not refused at once.
    EXPECT_FALSE(updater.Wait(1000));
    holder.Kill();
    ASSERT_TRUE(holder.Wait(10000));
    EXPECT_TRUE(holder.signalled());
    ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
}

// A command line that holds no job ends at once and writes the job's log
// record.
TEST_F(AdmissionTest, NoJobRunLogsTheCommandLine) {
    RunResult run = RunUpdater({"-forcedupdate=2", "-newver=9.9"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string folder = user_.stateHome + "/vrek/logs/Updater/Updater";
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) text += tavlin_test::ReadFileText(entry.path());
    EXPECT_NE(text.find("ZipUrl :  zipMd5 :  pageCallParam :  forcedupdate : 2"), std::string::npos) << text;
}

}  // namespace
}  // namespace tavlin_driver_test
