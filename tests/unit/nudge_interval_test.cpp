#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "app/keep_awake.h"

TEST(NudgeInterval, FollowsTheTimeoutTable) {
    const std::pair<std::uint32_t, std::uint32_t> rows[] = {
        {0, 30}, {1, 30}, {60, 30}, {61, 762}, {300, 3750}, {600, 7500}, {900, 11250}, {3600, 45000},
    };
    for (const auto& [timeout, interval] : rows) {
        EXPECT_EQ(computeNudgeInterval(timeout), interval) << "timeout " << timeout;
    }
}

TEST(NudgeInterval, RoundsDownToWholeMilliseconds) {
    EXPECT_EQ(computeNudgeInterval(63), 787u);  // 787.5
    EXPECT_EQ(computeNudgeInterval(65535), 819187u);  // largest X server setting
}

TEST(NudgeInterval, SaturatesAtTheLongestTimerPeriod) {
    // 171798691 s gives 2147483637.5 ms, the last value that still fits.
    EXPECT_EQ(computeNudgeInterval(171798691), 2147483637u);
    EXPECT_EQ(computeNudgeInterval(171798692), longestNudgeIntervalMs);
    EXPECT_EQ(computeNudgeInterval(343597384), longestNudgeIntervalMs);  // would wrap 32 bits
    // A negative setting, read as unsigned.
    EXPECT_EQ(computeNudgeInterval(static_cast<std::uint32_t>(-1)), longestNudgeIntervalMs);
    EXPECT_EQ(computeNudgeInterval(static_cast<std::uint32_t>(-60)), longestNudgeIntervalMs);
}
