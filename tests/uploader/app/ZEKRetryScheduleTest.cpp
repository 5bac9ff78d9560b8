// The pauses between rounds of retries, with short real timers.

#include "ZEKRetrySchedule.h"

#include "EventLoop.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(ZEKRetryScheduleTest, PauseDoublesUpToTheLongestAndSuccessStartsOver)
{
    int rounds = 0;
    ZEKRetrySchedule schedule([&] { ++rounds; }, 20ms, 70ms);
    EXPECT_FALSE(schedule.isArmed());

    schedule.uploadFailed();
    EXPECT_TRUE(schedule.isArmed());
    EXPECT_EQ(schedule.nextPause(), 40ms);
    // More failures while armed belong to the same round.
    schedule.uploadFailed();
    EXPECT_EQ(schedule.nextPause(), 40ms);
    ASSERT_TRUE(waitUntil([&] { return rounds == 1; }));
    EXPECT_FALSE(schedule.isArmed());

    schedule.uploadFailed();
    EXPECT_EQ(schedule.nextPause(), 70ms);
    ASSERT_TRUE(waitUntil([&] { return rounds == 2; }));
    schedule.uploadFailed();
    EXPECT_EQ(schedule.nextPause(), 70ms);

    schedule.uploadSucceeded();
    EXPECT_EQ(schedule.nextPause(), 20ms);
    ASSERT_TRUE(waitUntil([&] { return rounds == 3; }));
    waitUntil([] { return false; }, 150ms);
    EXPECT_EQ(rounds, 3);
}
