#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "keepawake/worker.h"
#include "tests/support/fake_platform.h"

namespace {

using Calls = std::vector<std::string>;

class Worker : public testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { nudgeOnlyWhenIdle(false); }
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

// --only-when-idle where the system tells the last input (Windows): a tick
// less than an interval after the user's input waits for the rest of it,
// once; the session telling idleness itself brings nudges by message.
TEST_F(Worker, OnlyWhenIdleWaitsOneIntervalAfterTheLastInput) {
    const unsigned tick = fake::timerMessage;
    struct Step {
        unsigned message;
        std::uint32_t clock;
        std::optional<std::uint32_t> userInput;  // the user's last input, when it changes
    };
    const struct {
        const char* name;
        bool on;
        bool inputTimes;
        std::vector<Step> steps;
        Calls timers;
        std::size_t nudges;
    } cases[] = {
        {"idle a whole interval: the nudge, on the timer's own period", true, true,
         {{tick, 11000, 10000}, {tick, 12000, {}}}, {"setTimer 1000", "killTimer 77"}, 2},
        {"input 300 ms ago: waits 700 ms, then nudges and goes back to 1000", true, true,
         {{tick, 11000, 10700}, {tick, 11700, {}}, {tick, 12700, {}}},
         {"setTimer 1000", "killTimer 77", "setTimer 700", "killTimer 77", "setTimer 1000", "killTimer 77"}, 2},
        {"the user keeps working: one wake-up an interval after each last input", true, true,
         {{tick, 11000, 10950}, {tick, 11950, 11900}, {tick, 12900, 12850}},
         {"setTimer 1000", "killTimer 77", "setTimer 950", "killTimer 77", "setTimer 950", "killTimer 77",
          "setTimer 950", "killTimer 77"},
         0},
        {"a coarse tick count 10 ms short is a whole interval", true, true, {{tick, 10990, 10000}},
         {"setTimer 1000", "killTimer 77"}, 1},
        {"input read as after now came just now", true, true, {{tick, 11000, 11005}},
         {"setTimer 1000", "killTimer 77", "setTimer 1000", "killTimer 77"}, 0},
        {"the tick count wraps", true, true, {{tick, 0x000002E8u, 0xFFFFFF00u}}, {"setTimer 1000", "killTimer 77"}, 1},
        {"without the option input changes nothing", false, true, {{tick, 11000, 10999}},
         {"setTimer 1000", "killTimer 77"}, 1},
        {"no input times (X11, Wayland): the timer's nudge", true, false, {{tick, 11000, 10999}},
         {"setTimer 1000", "killTimer 77"}, 1},
        {"the session said idle: one nudge by message", true, false, {{nudgeMessage, 0, {}}},
         {"setTimer 1000", "killTimer 77"}, 1},
    };
    for (const auto& c : cases) {
        fake::reset();
        nudgeOnlyWhenIdle(c.on);
        fake::nudgesCount = false;  // only the user moves the last input here
        if (c.inputTimes) {
            fake::inputClock = 10000;
            fake::lastInput = 10000;
        }
        for (const Step& step : c.steps) {
            fake::messages.push_back(step.message);
            fake::beforeMessages.push_back([step, times = c.inputTimes] {
                if (times) {
                    fake::inputClock = step.clock;
                    fake::lastInput = step.userInput.value_or(fake::lastInput);
                }
            });
        }
        EXPECT_EQ(keepAwakeWorker(workerArgument(1000)), 0u) << c.name;
        Calls timers;
        for (const std::string& call : fake::calls) {
            if (call.rfind("setTimer", 0) == 0 || call.rfind("killTimer", 0) == 0) {
                timers.push_back(call);
            }
        }
        EXPECT_EQ(timers, c.timers) << c.name;
        EXPECT_EQ(fake::sentInputs.size(), c.nudges) << c.name;
    }
}

TEST_F(Worker, LongestIntervalPassesThroughUnchanged) {
    EXPECT_EQ(keepAwakeWorker(workerArgument(2147483647u)), 0u);
    EXPECT_EQ(fake::calls.front(), "setTimer 2147483647");
}

}  // namespace
