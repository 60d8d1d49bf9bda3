// The whole program against the fake with a command line: a limit or a stop
// ends it exactly as "q" does, wherever it arrives; a command's status is the
// program's; bad usage starts nothing at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_platform.h"
#include "tests/support/program_run.h"
#include "tests/support/screens.h"

namespace {

using Words = std::vector<std::string>;
using Calls = std::vector<std::string>;

// A menu screen with the line a limit adds under the status line.
std::string withLimit(const std::string& screen, const std::string& quitsBy) {
    const auto firstLineEnd = screen.find('\n') + 1;
    return screen.substr(0, firstLineEnd) + "Quits by itself " + quitsBy + ".\n" + screen.substr(firstLineEnd);
}

class RunWithLimits : public ProgramRun {
protected:
    static bool called(const std::string& call) {
        return std::find(fake::calls.begin(), fake::calls.end(), call) != fake::calls.end();
    }

    // The exit processing closes the calls in order, the worker free to stop.
    static void expectOrderlyStop() {
        const Calls tail{"postQuitMessage 4242", "waitForThread worker", "closeThreadHandle worker", "closeDisplay"};
        ASSERT_GE(fake::calls.size(), tail.size());
        EXPECT_EQ(Calls(fake::calls.end() - 4, fake::calls.end()), tail);
        EXPECT_EQ(fake::suspendCount, 0);
    }
};

TEST_F(RunWithLimits, ALimitEndsTheMenuAsQWhereverItArrives) {
    const std::string line = "when process 42 ends";
    const struct {
        const char* typed;
        int wakeBeforeRead;
        std::string screens;
    } cases[] = {
        {"", 0, withLimit(screens::heldOff, line)},                                       // waiting
        {"e\n", 2, withLimit(screens::heldOff, line) + withLimit(screens::allowed, line)},  // paused
        {"e \t", 3, withLimit(screens::heldOff, line) + withLimit(screens::allowed, line)}, // amid white space
        {"q", 0, withLimit(screens::heldOff, line)},  // the same instant as "q": the limit seen first
        {"q", 1, withLimit(screens::heldOff, line)},  // or "q" first
    };
    for (const auto& c : cases) {
        SetUp();
        fake::wakeBeforeRead = c.wakeBeforeRead;
        fake::wake = Wake::processEnded;
        EXPECT_EQ(run({"-w", "42"}, c.typed), 0) << c.typed;
        EXPECT_EQ(output, c.screens + screens::quitting + screens::cleanedUp) << c.typed;
        EXPECT_EQ(fake::calls[0], "watchProcess 42");
        EXPECT_EQ(fake::calls[1], "registerExitHook");
        EXPECT_EQ(fake::calls[2], "catchStopRequests");
        expectOrderlyStop();
        EXPECT_TRUE(errors.empty()) << errors;
    }
}

TEST_F(RunWithLimits, TheMenuWaitsWithTheDeadlineAndTheIntervalIsTheOneAsked) {
    fake::screenSaverTimeout = 600;
    fake::wakeBeforeRead = 1;
    fake::wake = Wake::deadline;
    EXPECT_EQ(run({"--for", "2s", "--interval", "250ms"}, "x"), 0);
    // Armed once, on the clock that counts sleep, and not as the wait's own
    // timeout, which would stop while the machine sleeps.
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "armElapsedDeadline 2000"), 1);
    EXPECT_FALSE(fake::lastDeadline);
    EXPECT_FALSE(fake::wallDeadline);
    EXPECT_TRUE(called("beginThread 250")) << "the interval asked for wins over the timeout's 7500 ms";
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 8 + 8 + 1 + 2) << "two screens of eight lines";
    EXPECT_NE(output.find("Quits by itself at "), std::string::npos);
    expectOrderlyStop();
}

// --only-when-idle: the session is asked before the worker starts; each of
// its idle wakes has the worker nudge once, never while held; where it
// cannot tell, one line says so and the menu line says the timer goes on.
TEST_F(RunWithLimits, OnlyWhenIdleNudgesOnTheSessionsWordAndNeverWhileHeld) {
    const auto idle = [](char*) { return Wake::sessionIdle; };
    const auto key = [](char c) { return [c](char* byte) { *byte = c; return Wake::consoleByte; }; };
    const struct {
        const char* name;
        std::string problem;  // watchSessionIdle's answer
        std::string line;     // under the status line
        std::string said;
    } cases[] = {
        {"told by the session", "", "Nudges only once nobody has used the session for an interval.", ""},
        {"the session cannot tell", "this X server has no SYNC extension",
         "Nudges on its timer: this session does not tell when it is idle.",
         "keepawake: --only-when-idle: this X server has no SYNC extension; nudging on its timer.\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        fake::idleProblem = c.problem;
        fake::wakesFirst = {idle, key('e'), idle, idle, key('d'), idle};
        EXPECT_EQ(run({"--only-when-idle", "-i", "1s"}, "q"), 0) << c.name;
        EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "postNudgeMessage 4242"), 2)
            << c.name << ": one nudge per idle wake, none while paused";
        const auto watch = std::find(fake::calls.begin(), fake::calls.end(), "watchSessionIdle 1000");
        EXPECT_LT(watch, std::find(fake::calls.begin(), fake::calls.end(), "beginThread 1000")) << c.name;
        EXPECT_EQ(output, screens::withLine(screens::heldOff, c.line) + screens::withLine(screens::allowed, c.line) +
                              screens::withLine(screens::heldOff, c.line) + screens::quitting + screens::cleanedUp)
            << c.name;
        EXPECT_EQ(errors, c.said) << c.name;
        expectOrderlyStop();
    }
    SetUp();
    EXPECT_EQ(run({}, "q"), 0);
    EXPECT_FALSE(std::any_of(fake::calls.begin(), fake::calls.end(),
                             [](const std::string& call) { return call.rfind("watchSessionIdle", 0) == 0; }));
    EXPECT_EQ(output, screens::heldOff + screens::quitting + screens::cleanedUp) << "without it, as ever";
}

TEST_F(RunWithLimits, WithoutTheMenuOnlyTheShutdownLinesAreWritten) {
    for (const Wake wake : {Wake::deadline, Wake::stopRequested, Wake::processEnded}) {
        SetUp();
        fake::wake = wake;
        EXPECT_EQ(run({"--no-menu"}, "q"), 0);
        EXPECT_EQ(output, screens::quitting + screens::cleanedUp);
        EXPECT_FALSE(called("clearConsole"));
        EXPECT_EQ(console.input.get(), 'q') << "no input is read without the menu";
        expectOrderlyStop();
    }
}

TEST_F(RunWithLimits, ACommandsStatusIsTheProgramsAndNothingOfOursGoesToStdout) {
    fake::commandStatus = 7;
    fake::wake = Wake::commandEnded;
    EXPECT_EQ(run({"--interval", "1s", "--", "make", "-j 2"}), 7);
    EXPECT_EQ(output, "");
    EXPECT_EQ(errors, "");
    // The command starts before anything waits on the display.
    const auto started = std::find(fake::calls.begin(), fake::calls.end(), "startCommand make -j 2");
    const auto asked = std::find(fake::calls.begin(), fake::calls.end(), "readScreenSaverTimeout");
    EXPECT_LT(started, asked);
    EXPECT_TRUE(called("beginThread 1000"));
    expectOrderlyStop();

    // A command that cannot start leaves no worker behind and the display
    // untouched.
    SetUp();
    fake::commandStartStatus = 127;
    EXPECT_EQ(run({"--", "nonexistent"}), 127);
    EXPECT_EQ(output, "");
    EXPECT_EQ(errors, "keepawake: cannot run 'nonexistent'\n");
    EXPECT_FALSE(called("readScreenSaverTimeout"));
    EXPECT_FALSE(called("beginThread 30"));
    EXPECT_EQ(fake::calls.back(), "closeDisplay");

    // A worker that cannot start: the running command is waited for, never
    // cut short, and the failure is the status.
    SetUp();
    fake::threadStartFails = true;
    fake::commandStatus = 0;
    fake::wake = Wake::commandEnded;
    EXPECT_EQ(run({"--", "make"}), -1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(errors, "Cannot start time thread.\n");
    EXPECT_TRUE(called("startCommand make"));
}

TEST_F(RunWithLimits, BadUsageStartsNothing) {
    const struct {
        Words words;
        const char* watchProblem;
        const char* commandProblem;
        Calls calls;
    } cases[] = {
        {{"--for", "1h30"}, "", "", {}},
        {{"-w", "4242"}, "no process with id 4242", "", {"watchProcess 4242"}},
        {{"--", "build.cmd", "a&b"}, "", "batch file argument 'a&b'", {}},
        {{"--help"}, "", "", {}},
    };
    for (const auto& c : cases) {
        SetUp();
        fake::watchProblem = c.watchProblem;
        fake::commandProblem = c.commandProblem;
        const int status = run(c.words, "q");
        EXPECT_EQ(fake::calls, c.calls) << c.words[0];
        EXPECT_EQ(fake::exitHook, nullptr);
        EXPECT_TRUE(fake::sentInputs.empty());
        if (c.words[0] == "--help") {
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(errors.empty());
            continue;
        }
        EXPECT_EQ(status, usageErrorStatus) << c.words[0];
        EXPECT_EQ(output, "") << c.words[0];
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
        const std::string named = *c.watchProblem ? c.watchProblem : *c.commandProblem ? c.commandProblem : "1h30";
        EXPECT_NE(errors.find(named), std::string::npos) << errors;
    }
}

TEST_F(RunWithLimits, WithoutArgumentsStopRequestsAreLeftAlone) {
    EXPECT_EQ(run({}, "q"), 0);
    EXPECT_FALSE(called("catchStopRequests"));
    EXPECT_EQ(output, screens::heldOff + screens::quitting + screens::cleanedUp);
}

}  // namespace
