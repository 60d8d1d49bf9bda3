// On Linux a held worker must not wake at all, not even for a timer deadline
// it was already waiting for when the hold came.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "keepawake/worker.h"
#include "platform/platform.h"

namespace {

using namespace std::chrono_literals;

std::atomic<long> workerTid{0};

unsigned PLATFORM_CALLBACK workerWithTid(void* intervalMs) {
    workerTid = syscall(SYS_gettid);
    return keepAwakeWorker(intervalMs);
}

long voluntarySwitches(long tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(24));
        }
    }
    return -1;
}

TEST(HeldWorker, SleepsThroughItsPendingDeadline) {
    std::uint32_t id = 0;
    ThreadHandle worker = beginThread(workerWithTid, workerArgument(400), &id);
    ASSERT_NE(worker, nullptr);
    std::this_thread::sleep_for(100ms);  // now waiting for the tick at 400 ms
    ASSERT_NE(workerTid, 0);

    suspendThread(worker);
    std::this_thread::sleep_for(50ms);
    const long before = voluntarySwitches(workerTid);
    std::this_thread::sleep_for(600ms);  // past the deadline
    const long after = voluntarySwitches(workerTid);
    ASSERT_GE(before, 0);
    EXPECT_EQ(after, before) << "the held worker woke up";

    resumeThread(worker);
    postQuitMessage(id);
    waitForThread(worker);
    closeThreadHandle(worker);
}

}  // namespace
