#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "app/keep_awake.h"
#include "app/timers/session_timers.h"

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

// The interval follows the shortest timer that input holds off, of a
// watcher that runs in this session and could be read.
TEST(NudgeInterval, FollowsTheShortestTimerNudgesHoldOff) {
    auto timer = [](const char* watcher, std::uint32_t seconds, unsigned heldBy = heldByNudge, bool system = false) {
        SessionTimer t;
        t.systemSaver = system;
        t.watcher = watcher;
        t.seconds = seconds;
        t.heldBy = heldBy;
        return t;
    };
    SessionTimer elsewhere = timer("swayidle", 5);
    elsewhere.thisSession = false;
    SessionTimer unreadable = timer("xfce4-screensaver", 5);
    unreadable.unreadable = "no channel file";
    struct Row {
        const char* name;
        std::vector<SessionTimer> timers;
        std::uint32_t interval;
        const char* pacedBy;  // "" when no timer paces
    };
    const Row rows[] = {
        {"no timer at all", {}, 30, ""},
        {"the screen saver alone, as before", {timer("the screen saver", 600)}, 7500, "the screen saver's 10 min"},
        {"xscreensaver set the server's to off", {timer("the X server", 0), timer("xscreensaver", 600)}, 7500,
         "xscreensaver's 10 min"},
        {"a shorter watcher wins", {timer("the X server", 7200), timer("xscreensaver", 120)}, 1500,
         "xscreensaver's 2 min"},
        {"one minute or less: the fast nudge", {timer("xautolock", 60)}, 30, "xautolock's 1 min"},
        {"another session's watcher does not count", {timer("the X server", 600), elsewhere}, 7500,
         "the X server's 10 min"},
        {"an unreadable one does not count", {unreadable, timer("swayidle", 300)}, 3750, "swayidle's 5 min"},
        {"one only an inhibitor holds off does not count",
         {timer("logind", 30, heldByInhibitor), timer("the desktop", 300, heldByNudge | heldByInhibitor)}, 3750,
         "the desktop's 5 min"},
        {"a watcher that set the server's to its own is named", {timer("the X server", 120, heldByNudge, true),
                                                                  timer("xfce4-screensaver", 120)},
         1500, "xfce4-screensaver's 2 min"},
        {"odd lengths in seconds", {timer("hypridle", 90)}, 1125, "hypridle's 90 s"},
        {"hours and minutes", {timer("the screen saver", 5400)}, 67500, "the screen saver's 1 h 30 min"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(timers::intervalFor(row.timers), row.interval) << row.name;
        const SessionTimer* pacing = timers::pacingTimer(row.timers);
        EXPECT_EQ(pacing != nullptr ? timers::describeTimer(*pacing) : "", row.pacedBy) << row.name;
    }
}
