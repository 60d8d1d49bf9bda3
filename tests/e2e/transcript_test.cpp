// The real program with piped input: what it writes, byte for byte, and how
// it ends. No display is offered, so nothing is nudged on the machine.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
using namespace screens;

struct Session {
    std::string output;
    std::string errors;
    int status;
};

Session runWith(const std::string& typed, bool closeAfter = true, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), KEEPAWAKE_PROGRAM);
    ChildProcess child = startChild(arguments, {"DISPLAY"});
    typeInto(child, typed);
    if (closeAfter) {
        closeInput(child);
    }
    Session run;
    run.output = readUntilEnd(child.output, 10s);
    run.errors = readUntilEnd(child.errors, 1s);
    run.status = waitForExit(child, 10s);
    releaseChild(child);
    return run;
}

TEST(Transcript, QuitFromTheFirstScreen) {
    const Session run = runWith("q\n");
    EXPECT_EQ(run.output, heldOff + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, EAllowsTheSaverAndOffersD) {
    const Session run = runWith("e\nq\n");
    EXPECT_EQ(run.output, heldOff + allowed + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, TwoCommandsOnOneLineMakeTwoPasses) {
    const Session run = runWith("de\nq\n");
    EXPECT_EQ(run.output, heldOff + heldOff + allowed + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, CapitalsAreNoCommands) {
    const Session run = runWith("D\nQ\nq\n");
    EXPECT_EQ(run.output, heldOff + heldOff + heldOff + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, QuittingWhilePausedReleasesTheWorkerFirst) {
    const Session run = runWith("e\ne\nq\n");
    EXPECT_EQ(run.output, heldOff + allowed + allowed + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, NothingAfterQIsRead) {
    // The input stays open: a program that read on would wait for more.
    const Session run = runWith("q\nexxx\n", false);
    EXPECT_EQ(run.output, heldOff + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, EndOfInputExitsInOrder) {
    const Session run = runWith("e\nd\n");
    EXPECT_EQ(run.output, heldOff + allowed + heldOff + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, EmptyInputExitsInOrder) {
    const Session run = runWith("");
    EXPECT_EQ(run.output, heldOff + quitting + cleanedUp);
    EXPECT_EQ(run.status, 0);
}

TEST(Transcript, WithoutADisplayOnlyStandardErrorSaysSo) {
    const Session run = runWith("q\n");
    EXPECT_NE(run.errors.find("no X display"), std::string::npos) << run.errors;
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1);
    EXPECT_EQ(run.output, heldOff + quitting + cleanedUp);
}

TEST(Transcript, ARetryOfTheDisplayInFlightAtTheExitIsLetGoInOrder) {
    // The nudge at 1.5 s tries the display again; that try is still held
    // when --for ends the run at 2 s.
    const Session run = runWith("", true, {"--no-menu", "--interval", "1500ms", "--for", "2s"});
    EXPECT_EQ(run.output, quitting + cleanedUp);
    EXPECT_EQ(run.status, 0) << run.errors;
}

TEST(Transcript, OnATerminalEveryScreenStartsOnAClearedConsole) {
    // script gives the program a terminal; its echo of the input comes first.
    ChildProcess child = startChild({"script", "-qec", KEEPAWAKE_PROGRAM, "/dev/null"}, {"DISPLAY"});
    typeInto(child, "e\nq\n");
    const std::string output = readUntilEnd(child.output, 10s);
    EXPECT_EQ(waitForExit(child, 10s), 0);
    releaseChild(child);

    const std::string clear = "\x1b[H\x1b[2J\x1b[3J";
    auto crlf = [](std::string text) {
        for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
            text.insert(at, 1, '\r');
        }
        return text;
    };
    const std::string screens = clear + crlf(heldOff) + clear + crlf(allowed) + crlf(quitting + cleanedUp);
    ASSERT_GE(output.size(), screens.size()) << output;
    EXPECT_EQ(output.substr(output.size() - screens.size()), screens);
}

}  // namespace
