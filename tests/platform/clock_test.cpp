#include "platform/clock.h"

#include <gtest/gtest.h>

#include <thread>

TEST(Clock, TicksFollowElapsedTime) {
    uint32_t a = platform::GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    uint32_t b = platform::GetTickCount();
    // Unsigned difference, so a wrap between the calls still counts right.
    EXPECT_GE(static_cast<uint32_t>(b - a), 60u);
    EXPECT_LT(static_cast<uint32_t>(b - a), 60u * 1000u) << "went backwards or jumped";
}
