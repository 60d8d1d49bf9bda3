// The real program against a real X server of its own: the server's idle
// counter shows every nudge, and nothing else about the server may change.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;

// Room for a loaded machine between a tick coming due and the server seeing it.
constexpr std::uint32_t slackMs = 300;

class ProgramOnX : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    }

    void TearDown() override {
        releaseChild(program);
        stopXServer(server);
    }

    void startProgram(const std::vector<std::string>& options = {}, const std::string& screen = screens::heldOff) {
        std::vector<std::string> command{KEEPAWAKE_PROGRAM};
        command.insert(command.end(), options.begin(), options.end());
        program = startChild(command, {"DISPLAY=" + displayName(server)});
        ASSERT_TRUE(readUntilContains(program.output, screen, 10s, &output)) << output;
    }

    // The program's write calls so far: each nudge is one (XTEST on its socket).
    long writes() const {
        std::ifstream io("/proc/" + std::to_string(program.pid) + "/io");
        std::string name;
        long value = -1;
        while (io >> name >> value && name != "syscw:") {
        }
        return value;
    }

    void type(const std::string& text, const std::string& screen) {
        typeInto(program, text);
        ASSERT_TRUE(readUntilContains(program.output, screen, 10s, &output)) << output;
    }

    void quitAndExpectCleanExit() {
        typeInto(program, "q\n");
        output += readUntilEnd(program.output, 10s);
        EXPECT_EQ(waitForExit(program, 10s), 0);
        const std::string tail = screens::quitting + screens::cleanedUp;
        ASSERT_GE(output.size(), tail.size());
        EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
        // A display that takes every nudge, and counts it, gives no warning.
        EXPECT_EQ(readUntilEnd(program.errors, 1s), "");
    }

    static void report(const char* what, std::uint16_t timeout, std::uint32_t interval, const IdleWatch& watch) {
        std::cout << what << ": server timeout " << timeout << " s, interval " << interval << " ms, largest idle "
                  << watch.largestIdleMs << " ms, " << watch.nudges << " nudges seen in " << watch.samples
                  << " samples" << std::endl;
    }

    XServer server;
    ChildProcess program;
    std::string output;
};

TEST_F(ProgramOnX, SixtyOneSecondsGiveANudgeEvery762Ms) {
    setScreenSaverTimeout(server, 61);
    startProgram();
    const IdleWatch watch = watchIdle(server, 4s);
    report("timeout 61 s", screenSaverTimeout(server), 762, watch);

    EXPECT_LE(watch.largestIdleMs, 762 + slackMs);
    EXPECT_GE(watch.largestIdleMs, 600u) << "nudged faster than one eightieth of the timeout";
    EXPECT_GE(watch.nudges, 4);
    quitAndExpectCleanExit();
    EXPECT_EQ(screenSaverTimeout(server), 61) << "the server's setting must not change";
}

TEST_F(ProgramOnX, SixtySecondsGiveANudgeEvery30Ms) {
    setScreenSaverTimeout(server, 60);
    startProgram();
    const IdleWatch watch = watchIdle(server, 2s);
    report("timeout 60 s", screenSaverTimeout(server), 30, watch);

    EXPECT_LE(watch.largestIdleMs, 30 + slackMs / 2);
    EXPECT_GE(watch.nudges, 40) << "about 66 expected in two seconds";
    quitAndExpectCleanExit();
    EXPECT_EQ(screenSaverTimeout(server), 60);
}

TEST_F(ProgramOnX, ThePointerNeverMoves) {
    setScreenSaverTimeout(server, 10);
    movePointer(server, 123, 77);
    startProgram();
    const IdleWatch watch = watchIdle(server, 1s);
    ASSERT_GE(watch.nudges, 10);
    int x = 0;
    int y = 0;
    pointerPosition(server, &x, &y);
    EXPECT_EQ(x, 123);
    EXPECT_EQ(y, 77);
    quitAndExpectCleanExit();
}

TEST_F(ProgramOnX, PauseLetsTheServerGoIdleAndResumeNudgesAgain) {
    setScreenSaverTimeout(server, 61);
    startProgram();
    type("e\n", screens::allowed);
    const IdleWatch paused = watchIdle(server, 2500ms);
    report("paused", 61, 762, paused);
    EXPECT_EQ(paused.nudges, 0);
    EXPECT_GE(paused.largestIdleMs, 2000u) << "idle time must grow past the interval";

    type("d\n", screens::heldOff);
    std::this_thread::sleep_for(100ms);
    const IdleWatch resumed = watchIdle(server, 2s);
    report("resumed", 61, 762, resumed);
    EXPECT_LE(resumed.largestIdleMs, 762 + slackMs);
    EXPECT_GE(resumed.nudges, 2);
    quitAndExpectCleanExit();
    EXPECT_EQ(screenSaverTimeout(server), 61);
}

// --only-when-idle: the server's SYNC alarm says when nobody has touched the
// session for an interval. No nudge while the user works; once the user is
// gone, the idle time never passes an interval (and a pause's resume is told
// at once).
TEST_F(ProgramOnX, OnlyWhenIdleNudgesNoneWhileTheUserWorksAndEveryIntervalOnceGone) {
    const std::string idleLine = "Nudges only once nobody has used the session for an interval.";
    setScreenSaverTimeout(server, 61);
    startProgram({"--only-when-idle"}, screens::withLine(screens::heldOff, idleLine));
    const long before = writes();
    for (const auto end = std::chrono::steady_clock::now() + 2500ms; std::chrono::steady_clock::now() < end;) {
        userMove(server);
        std::this_thread::sleep_for(75ms);
    }
    EXPECT_EQ(writes(), before) << "nudged while the user worked";

    const IdleWatch gone = watchIdle(server, 3s);
    report("only when idle, user gone", 61, 762, gone);
    EXPECT_LE(gone.largestIdleMs, 762 + slackMs);
    EXPECT_GE(gone.nudges, 3);

    type("e\n", screens::withLine(screens::allowed, idleLine));
    std::this_thread::sleep_for(1500ms);
    const auto resumed = std::chrono::steady_clock::now();
    type("d\n", screens::withLine(screens::heldOff, idleLine));
    // Paused 1.5 s: an idle time under 300 ms means the nudge came already.
    const auto nudged = idleMilliseconds(server) < 300 ? 0ms : untilANudge(server, resumed, 1000ms);
    EXPECT_GE(nudged.count(), 0) << "a resume after an idle pause nudges";
    EXPECT_LT(nudged, 300ms) << "a resume after an idle pause nudges at once";
    quitAndExpectCleanExit();
}

TEST_F(ProgramOnX, QuittingWhilePausedStillEndsInOrder) {
    setScreenSaverTimeout(server, 61);
    startProgram();
    type("e\n", screens::allowed);
    quitAndExpectCleanExit();
    EXPECT_EQ(screenSaverTimeout(server), 61);
}

}  // namespace
