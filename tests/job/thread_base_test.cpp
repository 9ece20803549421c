// ThreadBase: the done event across start, end and a second start.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "download/SystemThreadId.h"
#include "download/ThreadBase.h"

namespace {

class Worker : public ThreadBase {
public:
    ~Worker() override { JoinWorker(); }
    void Run() override {
        ++runs;
        release.get_future().wait();
    }
    std::atomic<int> runs{0};
    std::promise<void> release;
};

}  // namespace

TEST(ThreadBase, DoneEventFollowsTheWorker) {
    Worker worker;
    EXPECT_TRUE(worker.WaitDone(0)) << "a worker never started counts as done";
    EXPECT_EQ(worker.ThreadId(), 0u);

    worker.Start();
    EXPECT_FALSE(worker.WaitDone(50));
    worker.release.set_value();
    ASSERT_TRUE(worker.WaitDone(10000));
    EXPECT_NE(worker.ThreadId(), 0u);
    EXPECT_NE(worker.ThreadId(), SystemThreadId());

    // A job never runs twice, and its finished state stays visible.
    worker.Start();
    EXPECT_TRUE(worker.WaitDone(0));
    EXPECT_EQ(worker.runs, 1);
}

// A Run that returns at once must not leave the event reset behind it.
TEST(ThreadBase, ImmediateRunLeavesTheEventSet) {
    for (int i = 0; i < 50; ++i) {
        Worker worker;
        worker.release.set_value();
        worker.Start();
        ASSERT_TRUE(worker.WaitDone(10000)) << "round " << i;
    }
}
