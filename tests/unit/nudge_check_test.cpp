// Whether the system counted a nudge, as the worker judges it from the
// last-input time: one line when nudges stop counting, one when they count
// again, never one per nudge, and never because the user was busy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "keepawake/nudge_check.h"
#include "keepawake/worker.h"
#include "tests/support/fake_platform.h"

namespace {

const std::string notCounted = "keepawake: Windows did not count the nudge as activity; the screen saver may start.\n";
const std::string countsAgain = "keepawake: Windows counts the nudges as activity again.\n";

class NudgeCheck : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::inputClock = 1000;
        startNudgeChecks();
        testing::internal::CaptureStderr();
    }
    void TearDown() override {
        if (!collected) {
            testing::internal::GetCapturedStderr();
        }
    }

    // One timer tick, an interval after the last.
    static void tick() {
        *fake::inputClock += 762;
        nudgeTimerProc(nullptr, fake::timerMessage, fake::timerId, 0);
    }

    std::string said() {
        collected = true;
        return testing::internal::GetCapturedStderr();
    }

    bool collected = false;
};

TEST_F(NudgeCheck, WhatIsSaidOverARun) {
    const struct {
        const char* name;
        std::vector<int> counts;  // per tick: 1 counted, 0 not, 2 counted late
        std::string said;
    } cases[] = {
        {"always counted", {1, 1, 1, 1}, ""},
        {"counted a moment late", {2, 2, 2, 2}, ""},
        {"never counted: one line, not one per nudge", {0, 0, 0, 0, 0}, notCounted},
        {"stops, then counts again", {1, 0, 0, 1, 1}, notCounted + countsAgain},
        {"stops twice", {0, 0, 1, 0, 0, 1}, notCounted + countsAgain + notCounted + countsAgain},
        {"counts again, late", {0, 0, 2, 2, 2}, notCounted + countsAgain},
    };
    for (const auto& c : cases) {
        fake::lastInput = 0;
        startNudgeChecks();
        for (const int counts : c.counts) {
            fake::nudgesCount = counts != 0;
            fake::nudgesCountLate = counts == 2;
            // Once counted, later nudges are not checked until a resume; keep
            // the run checked throughout by resuming before each.
            checkNextNudge();
            tick();
        }
        tick();  // the last one is judged here
        const std::string text = said();
        EXPECT_EQ(text, c.said) << c.name;
        collected = false;
        testing::internal::CaptureStderr();
    }
}

TEST_F(NudgeCheck, CheckedFirstAndAfterEachResumeOnly) {
    fake::nudgesCount = false;
    // The first nudge of a run is checked (judged at the next tick, in case
    // the system takes input a moment late).
    tick();
    tick();
    EXPECT_EQ(said(), notCounted);

    // Counted again; from then on nothing is checked, so a later change goes
    // unnoticed until the next resume.
    testing::internal::CaptureStderr();
    collected = false;
    fake::nudgesCount = true;
    tick();
    tick();
    fake::nudgesCount = false;
    tick();
    tick();
    tick();
    EXPECT_EQ(said(), countsAgain);

    // The menu's "d", through the path every resume takes.
    testing::internal::CaptureStderr();
    collected = false;
    resumeWorker(fake::workerHandle);
    tick();
    tick();
    EXPECT_EQ(said(), notCounted);
}

TEST_F(NudgeCheck, TheUsersOwnInputNeverRaisesAWarning) {
    // The user types between nudges, before and after them: every nudge the
    // system counted keeps the run quiet, whatever the user did.
    fake::nudgesCount = true;
    for (int i = 0; i < 5; ++i) {
        checkNextNudge();
        fake::lastInput = *fake::inputClock + 300;  // typed after the last nudge
        tick();
    }
    tick();
    EXPECT_EQ(said(), "");
}

TEST_F(NudgeCheck, UserInputAfterAnUncountedNudgeIsActivityToo) {
    // The nudge was not counted, but the user moved the mouse before it was
    // judged: the desktop saw activity, so nothing is said.
    fake::nudgesCount = false;
    tick();
    fake::lastInput = *fake::inputClock + 100;
    tick();
    EXPECT_EQ(said(), "");
}

TEST_F(NudgeCheck, TickCountsThatWrapAreJudgedRight) {
    fake::inputClock = 0xFFFFFF00u;  // 49.7 days of uptime: the count wraps below
    fake::nudgesCount = true;
    tick();  // counted at 0x000001FE
    tick();
    EXPECT_EQ(said(), "");

    SetUp();
    fake::inputClock = 0xFFFFFF00u;
    fake::lastInput = 0xFFFFFFF0u;  // before the wrap, before the nudge
    fake::nudgesCount = false;
    tick();
    tick();
    EXPECT_EQ(said(), notCounted);
}

TEST_F(NudgeCheck, WhereTheSystemDoesNotTellNothingIsSaid) {
    fake::inputClock.reset();
    for (int i = 0; i < 3; ++i) {
        nudgeTimerProc(nullptr, fake::timerMessage, fake::timerId, 0);
    }
    EXPECT_EQ(said(), "");
    EXPECT_EQ(fake::sentInputs.size(), 3u);
}

TEST(NoNudges, AWorkerWithNothingToNudgeSetsNoTimer) {
    fake::reset();
    fake::takesNudges = false;
    fake::messages = {0x0400};
    EXPECT_EQ(keepAwakeWorker(workerArgument(30)), 0u);
    EXPECT_EQ(fake::calls, (std::vector<std::string>{"getMessage", "dispatchMessage", "getMessage", "killTimer 0"}));
    EXPECT_TRUE(fake::sentInputs.empty());
}

}  // namespace
