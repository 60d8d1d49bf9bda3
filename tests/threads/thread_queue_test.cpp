// The worker on real threads with the real queue and timers; only the display
// is replaced, by a nudge counter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "keepawake/worker.h"
#include "platform/platform.h"
#include "tests/support/counting_input.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::atomic<unsigned> exitCode{12345};
std::atomic<bool> ended{false};

unsigned PLATFORM_CALLBACK observedWorker(void* intervalMs) {
    const unsigned code = keepAwakeWorker(intervalMs);
    exitCode = code;
    ended = true;
    return code;
}

struct Worker {
    ThreadHandle handle = nullptr;
    std::uint32_t id = 0;
};

Worker startWorker(std::uint32_t intervalMs) {
    counting::nudges = 0;
    counting::otherInputs = 0;
    exitCode = 12345;
    ended = false;
    Worker worker;
    worker.handle = beginThread(observedWorker, workerArgument(intervalMs), &worker.id);
    return worker;
}

void stopWorker(const Worker& worker) {
    postQuitMessage(worker.id);
    waitForThread(worker.handle);
    closeThreadHandle(worker.handle);
}

int countDuring(std::chrono::milliseconds span) {
    const int before = counting::nudges;
    std::this_thread::sleep_for(span);
    return counting::nudges - before;
}

TEST(WorkerThread, NudgesAboutOncePerInterval) {
    const Worker worker = startWorker(50);
    ASSERT_NE(worker.handle, nullptr);
    ASSERT_NE(worker.id, 0u);
    const int sent = countDuring(1000ms);
    stopWorker(worker);

    EXPECT_GE(sent, 14);  // 20 expected; a loaded machine may lose a few
    EXPECT_LE(sent, 21);
    EXPECT_EQ(counting::otherInputs, 0);
    EXPECT_EQ(exitCode, 0u);
}

TEST(WorkerThread, FirstNudgeComesOneIntervalAfterTheStart) {
    const Worker worker = startWorker(300);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(counting::nudges, 0);
    std::this_thread::sleep_for(350ms);
    EXPECT_GE(counting::nudges, 1);
    stopWorker(worker);
}

TEST(WorkerThread, HoldStopsTheNudgesAndReleaseBringsThemBack) {
    const Worker worker = startWorker(20);
    std::this_thread::sleep_for(100ms);
    ASSERT_GT(counting::nudges, 0);

    suspendThread(worker.handle);
    EXPECT_EQ(countDuring(300ms), 0) << "a held worker sends nothing";

    resumeThread(worker.handle);
    EXPECT_GE(countDuring(300ms), 5);
    stopWorker(worker);
    EXPECT_EQ(exitCode, 0u);
}

TEST(WorkerThread, ReleasingARunningWorkerChangesNothing) {
    const Worker worker = startWorker(20);
    resumeThread(worker.handle);
    resumeThread(worker.handle);
    EXPECT_GE(countDuring(200ms), 3) << "still running";

    // Had the releases been banked, this hold would not hold.
    suspendThread(worker.handle);
    EXPECT_EQ(countDuring(200ms), 0);
    resumeThread(worker.handle);
    EXPECT_GE(countDuring(200ms), 3);
    stopWorker(worker);
}

TEST(WorkerThread, AHeldWorkerTakesTheStopOnlyOnceReleased) {
    const Worker worker = startWorker(20);
    suspendThread(worker.handle);
    postQuitMessage(worker.id);
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(ended);

    resumeThread(worker.handle);
    waitForThread(worker.handle);
    EXPECT_TRUE(ended);
    EXPECT_EQ(exitCode, 0u);
    closeThreadHandle(worker.handle);
}

TEST(WorkerThread, StopEndsTheLoopAndNoNudgeFollows) {
    const Worker worker = startWorker(10);
    std::this_thread::sleep_for(100ms);
    stopWorker(worker);
    EXPECT_TRUE(ended);
    EXPECT_EQ(exitCode, 0u);
    const int atStop = counting::nudges;
    EXPECT_GT(atStop, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(counting::nudges, atStop);
}

TEST(WorkerThread, StopRightAfterTheStartIsNeverLost) {
    for (int round = 0; round < 300; ++round) {
        const Worker worker = startWorker(30);
        ASSERT_NE(worker.handle, nullptr);
        stopWorker(worker);  // a lost request would hang here
        ASSERT_TRUE(ended) << "round " << round;
        ASSERT_EQ(exitCode, 0u) << "round " << round;
    }
}

TEST(WorkerThread, StopAfterAHoldAndReleaseRightAtTheStart) {
    for (int round = 0; round < 100; ++round) {
        const Worker worker = startWorker(30);
        suspendThread(worker.handle);
        resumeThread(worker.handle);
        stopWorker(worker);
        ASSERT_EQ(exitCode, 0u) << "round " << round;
    }
}

// A loop without any timer, as the worker runs when its timer cannot be set.
unsigned PLATFORM_CALLBACK loopWithoutTimer(void*) {
    ThreadMessage message{};
    while (getMessage(&message)) {
        dispatchMessage(&message);
    }
    ended = true;
    return 7;
}

TEST(WorkerThread, AQueueWithoutTimerStillEndsOnTheStop) {
    ended = false;
    std::uint32_t id = 0;
    ThreadHandle thread = beginThread(loopWithoutTimer, nullptr, &id);
    ASSERT_NE(thread, nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ended);
    postQuitMessage(id);
    waitForThread(thread);
    EXPECT_TRUE(ended);
    closeThreadHandle(thread);
}

std::atomic<int> ticks{0};
void PLATFORM_CALLBACK countTick(PlatformWindow, unsigned, std::uintptr_t, PlatformTime) {
    ++ticks;
}
std::atomic<int> ticksSoonAfterBusySpell{0};

unsigned PLATFORM_CALLBACK busyThenLoop(void*) {
    const std::uintptr_t timer = setTimer(10, countTick);
    std::this_thread::sleep_for(300ms);  // some 30 periods pass unhandled
    const auto resumed = Clock::now();
    ThreadMessage message{};
    while (getMessage(&message)) {
        dispatchMessage(&message);
        if (Clock::now() - resumed < 5ms) {
            ++ticksSoonAfterBusySpell;
        }
    }
    killTimer(timer);
    return 0;
}

TEST(WorkerThread, MissedTicksCollapseIntoOne) {
    ticks = 0;
    ticksSoonAfterBusySpell = 0;
    std::uint32_t id = 0;
    ThreadHandle thread = beginThread(busyThenLoop, nullptr, &id);
    std::this_thread::sleep_for(400ms);
    postQuitMessage(id);
    waitForThread(thread);
    closeThreadHandle(thread);
    EXPECT_EQ(ticksSoonAfterBusySpell, 1) << "one pending tick, not a burst";
    EXPECT_GE(ticks, 5);
    EXPECT_LE(ticks, 14);
}

// The way the session is kept awake changes while the worker runs: from an
// inhibitor alone (no timer, no wake-ups) to zero moves and back, each told
// by a re-plan; one posted to a held worker waits for its release.
TEST(WorkerThread, ReplansStartAndStopTheNudges) {
    counting::periodMs = 0;
    const Worker worker = startWorker(20);
    EXPECT_EQ(countDuring(200ms), 0) << "no timer while nothing needs one";

    counting::periodMs = -1;
    postReplanMessage(worker.id);
    postReplanMessage(worker.id);  // two before it runs are one
    const int running = countDuring(300ms);
    EXPECT_GE(running, 5);
    EXPECT_LE(running, 16);

    suspendThread(worker.handle);
    counting::periodMs = 0;
    postReplanMessage(worker.id);
    EXPECT_EQ(countDuring(100ms), 0) << "held";
    resumeThread(worker.handle);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(countDuring(200ms), 0) << "the re-plan was taken after the release";
    stopWorker(worker);
    EXPECT_EQ(exitCode, 0u);
    counting::periodMs = -1;
}

// --only-when-idle where the session tells idleness: no timer, and each
// word from the session one nudge; one posted to a held worker waits.
TEST(WorkerThread, EachNudgeMessageIsOneNudgeWithoutATimer) {
    counting::periodMs = 0;
    const Worker worker = startWorker(20);
    suspendThread(worker.handle);
    postNudgeMessage(worker.id);
    EXPECT_EQ(countDuring(100ms), 0) << "held";
    // The count is taken before each release or post: the worker may nudge
    // before this thread reads it afterwards. Each nudge is waited for up to
    // 2 s, for a loaded machine (ThreadSanitizer).
    const auto nudgedWithin = [](int before, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (counting::nudges == before && Clock::now() < end) {
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(20ms);  // a second nudge would show here
        return counting::nudges - before;
    };
    int before = counting::nudges;
    resumeThread(worker.handle);
    EXPECT_EQ(nudgedWithin(before, 2000ms), 1);
    before = counting::nudges;
    postNudgeMessage(worker.id);
    EXPECT_EQ(nudgedWithin(before, 2000ms), 1);
    EXPECT_EQ(countDuring(200ms), 0) << "no timer";
    stopWorker(worker);
    counting::periodMs = -1;
}

TEST(WorkerThread, NoWorkerMeansNothingToWaitFor) {
    const auto start = Clock::now();
    postQuitMessage(0);
    waitForThread(nullptr);
    closeThreadHandle(nullptr);
    EXPECT_LT(Clock::now() - start, 1s);
}

}  // namespace
