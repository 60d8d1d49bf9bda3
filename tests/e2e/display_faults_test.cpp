// The real program against displays that stop answering: a frozen X server,
// and one that accepts connections and never answers. Whatever the display
// does, the menu answers at once, "q" ends the program within a second, and
// nudges come back once the display does. Each timing is printed.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

Ms since(Clock::time_point start) {
    return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

long lineCount(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

// Types a key and measures how long until the screen it leads to is drawn.
Ms redrawTime(ChildProcess& program, const std::string& key, const std::string& screen, std::string* seen) {
    const auto start = Clock::now();
    typeInto(program, key);
    return readUntilContains(program.output, screen, 10s, seen) ? since(start) : Ms(10s);
}

// Types "q" and measures how long until the program has said goodbye and
// ended; its exit status goes to status.
Ms quitTime(ChildProcess& program, std::string* seen, int* status) {
    const auto start = Clock::now();
    typeInto(program, "q\n");
    readUntilContains(program.output, screens::quitting + screens::cleanedUp, 10s, seen);
    *status = waitForExit(program, 10s);
    return since(start);
}

// From the thaw on, the moment after which the server's idle counter falls
// at least every 300 ms until the span ends; -1 ms if it never settles so.
// A burst of stale nudges left in a dead socket does not count as resumed.
Ms steadyNudgesFrom(const XServer& server, Ms span) {
    const auto start = Clock::now();
    std::vector<Ms> falls;
    std::uint32_t previous = idleMilliseconds(server);
    while (since(start) < span) {
        const std::uint32_t idle = idleMilliseconds(server);
        if (idle < previous) {
            falls.push_back(since(start));
        }
        previous = idle;
        std::this_thread::sleep_for(2ms);
    }
    if (falls.empty() || span - falls.back() > 300ms) {
        return Ms(-1);
    }
    std::size_t first = falls.size() - 1;
    while (first > 0 && falls[first] - falls[first - 1] <= 300ms) {
        --first;
    }
    return falls[first];
}

class FrozenDisplay : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        setScreenSaverTimeout(server, 60);  // the 30 ms interval
    }

    void TearDown() override {
        if (server.pid > 0) {
            kill(server.pid, SIGCONT);
        }
        releaseChild(first);
        releaseChild(second);
        stopXServer(server);
    }

    XServer server;
    ChildProcess first;
    ChildProcess second;
};

TEST_F(FrozenDisplay, NeverHoldsUpTheMenuOrTheExitAndNudgesResumeOnThaw) {
    const std::vector<std::string> environment{"DISPLAY=" + displayName(server)};
    first = startChild({KEEPAWAKE_PROGRAM}, environment);
    second = startChild({KEEPAWAKE_PROGRAM}, environment);
    std::string firstSeen;
    std::string secondSeen;
    ASSERT_TRUE(readUntilContains(first.output, screens::heldOff, 10s, &firstSeen));
    ASSERT_TRUE(readUntilContains(second.output, screens::heldOff, 10s, &secondSeen));
    ASSERT_GE(watchIdle(server, 500ms).nudges, 5);

    kill(server.pid, SIGSTOP);
    std::this_thread::sleep_for(25s);

    // The first program is worked and quit while the server is still frozen.
    const Ms pause = redrawTime(first, "e\n", screens::allowed, &firstSeen);
    const Ms resume = redrawTime(first, "d\n", screens::heldOff, &firstSeen);
    int status = 0;
    const Ms quit = quitTime(first, &firstSeen, &status);
    std::cout << "frozen display: e redrawn in " << pause.count() << " ms" << std::endl;
    std::cout << "frozen display: d redrawn in " << resume.count() << " ms" << std::endl;
    std::cout << "frozen display: q exited in " << quit.count() << " ms" << std::endl;
    EXPECT_LE(pause, 100ms);
    EXPECT_LE(resume, 100ms);
    EXPECT_LE(quit, 1s);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(firstSeen, screens::heldOff + screens::allowed + screens::heldOff + screens::quitting +
                             screens::cleanedUp);
    const std::string firstErrors = readUntilEnd(first.errors, 1s);
    EXPECT_EQ(lineCount(firstErrors), 1) << firstErrors;
    EXPECT_NE(firstErrors.find("stopped taking nudges"), std::string::npos) << firstErrors;

    // The second one has kept running; the thawed server sees its nudges again.
    kill(server.pid, SIGCONT);
    const Ms resumed = steadyNudgesFrom(server, 3s);
    std::cout << "thawed display: nudges resumed after " << resumed.count() << " ms" << std::endl;
    EXPECT_GE(resumed, 0ms) << "no steady nudges after the thaw";
    EXPECT_LE(resumed, 2s);
    const Ms secondQuit = quitTime(second, &secondSeen, &status);
    std::cout << "thawed display: q exited in " << secondQuit.count() << " ms" << std::endl;
    EXPECT_LE(secondQuit, 1s);
    EXPECT_EQ(status, 0);
    const std::string secondErrors = readUntilEnd(second.errors, 1s);
    const auto stopped = secondErrors.find("stopped taking nudges");
    const auto again = secondErrors.find("takes nudges again");
    EXPECT_EQ(lineCount(secondErrors), 2) << secondErrors;
    EXPECT_TRUE(stopped != std::string::npos && again != std::string::npos && stopped < again) << secondErrors;
}

TEST(SilentDisplay, StartsQuitsAndSaysSoOnce) {
    for (const bool tcp : {false, true}) {
        const char* kind = tcp ? "tcp" : "local socket";
        SilentDisplay silent = startSilentDisplay(tcp);
        ASSERT_GE(silent.display, 0) << "no silent display on a " << kind;
        const auto start = Clock::now();
        ChildProcess program = startChild({KEEPAWAKE_PROGRAM}, {"DISPLAY=" + silent.name});
        std::string seen;
        const bool menu = readUntilContains(program.output, screens::heldOff, 10s, &seen);
        const Ms shown = since(start);
        int status = 0;
        const Ms quit = quitTime(program, &seen, &status);
        const std::string errors = readUntilEnd(program.errors, 1s);
        releaseChild(program);
        stopSilentDisplay(silent);

        std::cout << "silent display (" << kind << "): menu after " << shown.count() << " ms, q exited in "
                  << quit.count() << " ms" << std::endl;
        EXPECT_TRUE(menu) << kind;
        // Its one second, and no second one for anything else asked of it.
        EXPECT_LE(shown, 1800ms) << kind;
        EXPECT_LE(quit, 1s) << kind;
        EXPECT_EQ(status, 0) << kind;
        EXPECT_EQ(seen, screens::heldOff + screens::quitting + screens::cleanedUp) << kind;
        EXPECT_EQ(lineCount(errors), 1) << kind << ": " << errors;
        EXPECT_NE(errors.find("did not answer"), std::string::npos) << kind << ": " << errors;
    }
}

}  // namespace

namespace {

TEST(SilentDisplay, ACommandStartsWithoutWaitingForIt) {
    // The command needs no interval: it must not wait for a display that
    // never answers, while the program still ends in order afterwards.
    SilentDisplay silent = startSilentDisplay(false);
    ASSERT_GE(silent.display, 0);
    const auto start = Clock::now();
    ChildProcess program =
        startChild({KEEPAWAKE_PROGRAM, "--", "sh", "-c", "echo started; read line; exit 5"}, {"DISPLAY=" + silent.name});
    std::string seen;
    const bool started = readUntilContains(program.output, "started\n", 5s, &seen);
    const Ms startedAfter = since(start);
    typeInto(program, "\n");
    const int status = waitForExit(program, 5s);
    const Ms ended = since(start);
    const std::string errors = readUntilEnd(program.errors, 1s);
    releaseChild(program);
    stopSilentDisplay(silent);

    std::cout << "silent display: the command started after " << startedAfter.count() << " ms; keepawake ended after "
              << ended.count() << " ms with status " << status << std::endl;
    EXPECT_TRUE(started) << seen;
    EXPECT_LE(startedAfter, 300ms) << "the display's one-second wait came first";
    EXPECT_EQ(status, 5);
    EXPECT_EQ(seen, "started\n") << "nothing of keepawake's own on standard output";
    EXPECT_EQ(lineCount(errors), 1) << errors;
    EXPECT_NE(errors.find("did not answer"), std::string::npos) << errors;
}

}  // namespace
