#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "keepawake/worker.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_platform.h"

namespace {

using Calls = std::vector<std::string>;

class StartupShutdown : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    }

    // Runs the program with the given input, then the exit processing.
    int runProgram(const std::string& typed, std::string* output) {
        console.start(typed);
        const int status = runKeepAwake();
        if (fake::exitHook != nullptr) {
            fake::exitHook();
        }
        *output = console.finish();
        return status;
    }

    Calls callsFrom(const std::string& first) {
        for (std::size_t i = 0; i < fake::calls.size(); ++i) {
            if (fake::calls[i].rfind(first, 0) == 0) {
                return Calls(fake::calls.begin() + static_cast<long>(i), fake::calls.end());
            }
        }
        return {};
    }

    ConsoleCapture console;
};

TEST_F(StartupShutdown, RegistersTheHookFirstThenReadsTimeoutThenStartsWorker) {
    fake::screenSaverTimeout = 300;
    std::string output;
    ASSERT_EQ(runProgram("q", &output), 0);

    ASSERT_GE(fake::calls.size(), 3u);
    EXPECT_EQ(fake::calls[0], "registerExitHook");
    EXPECT_EQ(fake::calls[1], "readScreenSaverTimeout");
    EXPECT_EQ(fake::calls[2], "beginThread 3750");
    EXPECT_EQ(fake::startedEntry, &keepAwakeWorker);
    EXPECT_EQ(keepAwakeState.nudgeIntervalMs, 3750u);
    EXPECT_EQ(keepAwakeState.workerThread, fake::workerHandle);
    EXPECT_EQ(keepAwakeState.workerThreadId, fake::workerId);
    EXPECT_EQ(keepAwakeState.saverEnabled, 0);
}

TEST_F(StartupShutdown, UnreadableTimeoutStartsTheFastNudge) {
    fake::screenSaverTimeout = 0;
    std::string output;
    runProgram("q", &output);
    EXPECT_EQ(fake::calls[2], "beginThread 30");
}

TEST_F(StartupShutdown, ShutdownOfARunningWorkerStopsWaitsClosesThenConfirms) {
    std::string output;
    ASSERT_EQ(runProgram("q", &output), 0);

    EXPECT_EQ(callsFrom("postQuitMessage"),
              (Calls{"postQuitMessage 4242", "waitForThread worker", "closeThreadHandle worker", "closeDisplay"}));
    EXPECT_EQ(callsFrom("resumeThread"), Calls{}) << "a running worker needs no release";
    const std::string tail = "Waiting to exit...\nThread closed and cleaned up.\n\n";
    ASSERT_GE(output.size(), tail.size());
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
}

TEST_F(StartupShutdown, ShutdownReleasesAPausedWorkerOnceBeforeTheStop) {
    std::string output;
    ASSERT_EQ(runProgram("e q", &output), 0);

    EXPECT_EQ(callsFrom("resumeThread"), (Calls{"resumeThread worker", "postQuitMessage 4242", "waitForThread worker",
                                                "closeThreadHandle worker", "closeDisplay"}));
    EXPECT_EQ(fake::suspendCount, 0);
}

TEST_F(StartupShutdown, FailedStartReportsAndStillRunsTheHookWithNoTarget) {
    fake::threadStartFails = true;
    std::string output;
    EXPECT_EQ(runProgram("q", &output), -1);

    EXPECT_EQ(output, "Cannot start time thread.\nThread closed and cleaned up.\n\n");
    EXPECT_EQ(callsFrom("beginThread"), (Calls{"beginThread 30", "postQuitMessage 0", "waitForThread null",
                                               "closeThreadHandle null", "closeDisplay"}));
    EXPECT_EQ(callsFrom("clearConsole"), Calls{}) << "no menu after a failed start";
}

TEST_F(StartupShutdown, WorkerArgumentCarriesTheIntervalByValue) {
    fake::screenSaverTimeout = 3600;
    std::string output;
    runProgram("q", &output);
    ASSERT_NE(fake::startedArgument, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(fake::startedArgument), 45000u);
}

}  // namespace
