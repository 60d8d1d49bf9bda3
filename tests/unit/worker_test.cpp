#include <gtest/gtest.h>

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

TEST_F(Worker, LongestIntervalPassesThroughUnchanged) {
    EXPECT_EQ(keepAwakeWorker(workerArgument(2147483647u)), 0u);
    EXPECT_EQ(fake::calls.front(), "setTimer 2147483647");
}

}  // namespace
