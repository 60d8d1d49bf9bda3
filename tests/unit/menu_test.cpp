#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_platform.h"
#include "tests/support/screens.h"

namespace {

using screens::allowed;
using screens::heldOff;
const std::string& quitLines = screens::quitting;

class Menu : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        keepAwakeState = KeepAwakeState{fake::workerId, fake::workerHandle, 0, 30};
        runLimits = RunLimits{};
    }

    int run(const std::string& typed) {
        console.start(typed);
        const int status = runMenuLoop();
        output = console.finish();
        return status;
    }

    // The worker calls the menu made, in order, without the console clears.
    std::vector<std::string> workerCalls() const {
        std::vector<std::string> seen;
        for (const auto& call : fake::calls) {
            if (call != "clearConsole") {
                seen.push_back(call);
            }
        }
        return seen;
    }

    int clears() const {
        int count = 0;
        for (const auto& call : fake::calls) {
            count += call == "clearConsole" ? 1 : 0;
        }
        return count;
    }

    ConsoleCapture console;
    std::string output;
};

TEST_F(Menu, FirstScreenOffersToAllowTheSaver) {
    EXPECT_EQ(run("q"), 0);
    EXPECT_EQ(output, heldOff + quitLines);
    EXPECT_EQ(clears(), 1);
}

TEST_F(Menu, EPausesTheWorkerAndOffersD) {
    EXPECT_EQ(run("e\nq\n"), 0);
    EXPECT_EQ(output, heldOff + allowed + quitLines);
    EXPECT_EQ(workerCalls(), (std::vector<std::string>{"suspendThread worker", "pauseDisplayKeepAwake"}));
    EXPECT_EQ(keepAwakeState.saverEnabled, 1);
}

TEST_F(Menu, CommandsOnOneLineAreTakenOneByOne) {
    EXPECT_EQ(run("de\nq"), 0);
    EXPECT_EQ(output, heldOff + heldOff + allowed + quitLines);
    EXPECT_EQ(clears(), 3);
    EXPECT_EQ(workerCalls(), (std::vector<std::string>{"resumeDisplayKeepAwake", "resumeThread worker", "suspendThread worker",
                                                    "pauseDisplayKeepAwake"}));
}

TEST_F(Menu, WhiteSpaceIsSkippedAndOtherCharactersRedraw) {
    EXPECT_EQ(run(" \t\r\n\v\fD Q x\nq"), 0);
    EXPECT_EQ(output, heldOff + heldOff + heldOff + heldOff + quitLines);
    EXPECT_EQ(workerCalls(), std::vector<std::string>{});
    EXPECT_EQ(keepAwakeState.saverEnabled, 0);
}

TEST_F(Menu, HoldIsNeverMoreThanOneLevelDeep) {
    EXPECT_EQ(run("eeed"), 0);  // then end of input
    EXPECT_EQ(workerCalls(), (std::vector<std::string>{"suspendThread worker", "pauseDisplayKeepAwake",
                                                    "resumeDisplayKeepAwake", "resumeThread worker"}));
    EXPECT_EQ(fake::deepestSuspend, 1);
    EXPECT_EQ(fake::suspendCount, 0) << "a single d must set the worker running again";
    EXPECT_EQ(keepAwakeState.saverEnabled, 0);
    EXPECT_EQ(output, heldOff + allowed + allowed + allowed + heldOff + quitLines);
}

TEST_F(Menu, DOnARunningWorkerKeepsTheScreen) {
    EXPECT_EQ(run("dq"), 0);
    EXPECT_EQ(output, heldOff + heldOff + quitLines);
    EXPECT_EQ(fake::suspendCount, 0);
    EXPECT_EQ(keepAwakeState.saverEnabled, 0);
}

TEST_F(Menu, NothingAfterQIsRead) {
    EXPECT_EQ(run("qe"), 0);
    EXPECT_EQ(output, heldOff + quitLines);
    EXPECT_EQ(workerCalls(), std::vector<std::string>{});
    EXPECT_EQ(console.input.get(), 'e') << "the character after q stays unread";
}

TEST_F(Menu, EndOfInputQuitsInOrder) {
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(output, heldOff + quitLines);

    EXPECT_EQ(run("e"), 0);
    EXPECT_EQ(output, heldOff + allowed + quitLines);
    EXPECT_EQ(fake::suspendCount, 1) << "left held: the exit processing releases it";
}

TEST_F(Menu, FailedReadQuitsInsteadOfRedrawingForever) {
    console.start("ed");
    std::cin.setstate(std::ios::badbit);
    EXPECT_EQ(runMenuLoop(), 0);
    output = console.finish();
    EXPECT_EQ(output, heldOff + quitLines);
    EXPECT_EQ(clears(), 1);
}

}  // namespace
