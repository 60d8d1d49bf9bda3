#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "keepawake/worker.h"
#include "tests/support/fake_platform.h"

namespace {

using Calls = std::vector<std::string>;

class Worker : public testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(Worker, EachTickSendsOneZeroDistanceRelativeMove) {
    fake::messages = {fake::timerMessage, fake::timerMessage};
    EXPECT_EQ(keepAwakeWorker(workerArgument(762)), 0u);

    EXPECT_EQ(fake::calls, (Calls{"setTimer 762", "getMessage", "dispatchMessage", "sendMouseInput", "getMessage",
                                  "dispatchMessage", "sendMouseInput", "getMessage", "killTimer 77"}));
    ASSERT_EQ(fake::sentInputs.size(), 2u);
    for (const MouseInput& sent : fake::sentInputs) {
        EXPECT_EQ(sent.dx, 0);
        EXPECT_EQ(sent.dy, 0);
        EXPECT_EQ(sent.mouseData, 0u);
        EXPECT_EQ(sent.dwFlags, mouseEventMove) << "relative move only: no button, wheel or absolute flag";
        EXPECT_EQ(sent.time, 0u);
        EXPECT_EQ(sent.dwExtraInfo, 0u);
    }
}

TEST_F(Worker, StopRequestFirstEndsAtOnceWithoutANudge) {
    EXPECT_EQ(keepAwakeWorker(workerArgument(30)), 0u);
    EXPECT_EQ(fake::calls, (Calls{"setTimer 30", "getMessage", "killTimer 77"}));
}

TEST_F(Worker, FailedTimerStillEndsOnTheStopRequest) {
    fake::timerFails = true;
    fake::messages = {fake::timerMessage};
    EXPECT_EQ(keepAwakeWorker(workerArgument(30)), 0u);
    EXPECT_TRUE(fake::sentInputs.empty());
    EXPECT_EQ(fake::calls.back(), "killTimer 0");
}

TEST_F(Worker, OtherMessagesAreDispatchedWithoutANudge) {
    fake::messages = {0x0400, fake::timerMessage, 0x0400};
    EXPECT_EQ(keepAwakeWorker(workerArgument(30)), 0u);
    EXPECT_EQ(fake::sentInputs.size(), 1u);
}

// The session's way changes under the worker: each re-plan sets, changes or
// kills its timer to match, and a tick of a killed timer sends nothing.
TEST_F(Worker, ReplansFollowThePeriodTheSessionNeeds) {
    const unsigned tick = fake::timerMessage;
    const unsigned replan = replanMessage;
    const struct {
        const char* name;
        std::deque<std::uint32_t> periods;  // at start, then one per re-plan
        std::deque<unsigned> messages;
        Calls timers;  // setTimer and killTimer calls, in order
        std::size_t nudges;
    } cases[] = {
        {"an inhibitor alone: no timer, ticks do nothing", {0}, {tick}, {"killTimer 0"}, 0},
        {"the inhibitor goes: the nudge timer starts", {0, 762}, {replan, tick, tick}, {"setTimer 762", "killTimer 77"},
         2},
        {"the same period keeps its timer", {762, 762, 762}, {tick, replan, replan, tick},
         {"setTimer 762", "killTimer 77"}, 2},
        {"moves stop, the activity call remains", {30, 10000}, {tick, replan, tick},
         {"setTimer 30", "killTimer 77", "setTimer 10000", "killTimer 77"}, 2},
        {"nothing left: the timer is killed", {30, 0}, {replan, tick},
         {"setTimer 30", "killTimer 77", "killTimer 0"}, 0},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::periods = c.periods;
        fake::messages = c.messages;
        EXPECT_EQ(keepAwakeWorker(workerArgument(762)), 0u) << c.name;
        Calls timers;
        for (const std::string& call : fake::calls) {
            if (call.rfind("setTimer", 0) == 0 || call.rfind("killTimer", 0) == 0) {
                timers.push_back(call);
            }
        }
        EXPECT_EQ(timers, c.timers) << c.name;
        EXPECT_EQ(fake::sentInputs.size(), c.nudges) << c.name;
        EXPECT_TRUE(fake::periods.empty()) << c.name << ": one plan per re-plan message";
        EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "dispatchMessage"),
                  std::count(c.messages.begin(), c.messages.end(), tick))
            << c.name << ": a re-plan is the worker's own, never dispatched";
    }
}

TEST_F(Worker, AFailedTimerIsTriedAgainOnTheNextReplan) {
    fake::timerFails = true;
    fake::periods = {762, 762};
    fake::messages = {replanMessage};
    EXPECT_EQ(keepAwakeWorker(workerArgument(762)), 0u);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "setTimer 762"), 2);
}

TEST_F(Worker, LongestIntervalPassesThroughUnchanged) {
    EXPECT_EQ(keepAwakeWorker(workerArgument(2147483647u)), 0u);
    EXPECT_EQ(fake::calls.front(), "setTimer 2147483647");
}

}  // namespace
