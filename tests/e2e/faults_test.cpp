// The real program against what a user and a desktop can throw at it. Every
// wait is bounded, so a hang fails the test instead of blocking the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Faults : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        setScreenSaverTimeout(server, 60);
    }

    void TearDown() override {
        releaseChild(program);
        stopXServer(server);
    }

    std::vector<std::string> environment() const { return {"DISPLAY=" + displayName(server)}; }

    XServer server;
    ChildProcess program;
};

TEST_F(Faults, StartAndQuitAtOnceFiveHundredTimes) {
    int clean = 0;
    for (int round = 0; round < 500; ++round) {
        ChildProcess child = startChild({KEEPAWAKE_PROGRAM}, environment());
        typeInto(child, "q\n");
        closeInput(child);
        const std::string output = readUntilEnd(child.output, 10s);
        const int status = waitForExit(child, 10s);
        releaseChild(child);
        ASSERT_EQ(status, 0) << "round " << round;
        ASSERT_EQ(output, screens::heldOff + screens::quitting + screens::cleanedUp) << "round " << round;
        ++clean;
    }
    std::cout << "start and quit: " << clean << " of 500 runs exited 0" << std::endl;
}

// Runs the program with its standard input taken from a file of that content
// and its output thrown away; returns the exit status.
int runWithInputFile(const std::vector<std::string>& environment, const std::string& content) {
    char path[] = "/tmp/keepawake-input-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return -1;
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
        if (wrote <= 0) {
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    close(fd);
    const std::string command = std::string("exec ") + KEEPAWAKE_PROGRAM + " < " + path + " > /dev/null 2>&1";
    ChildProcess child = startChild({"sh", "-c", command}, environment);
    const int status = waitForExit(child, 120s);
    releaseChild(child);
    unlink(path);
    return status;
}

TEST_F(Faults, ClosedStandardInputExitsInOrder) {
    ChildProcess child =
        startChild({"sh", "-c", std::string("exec ") + KEEPAWAKE_PROGRAM + " <&-"}, environment());
    const std::string output = readUntilEnd(child.output, 10s);
    EXPECT_EQ(waitForExit(child, 10s), 0);
    releaseChild(child);
    EXPECT_EQ(output, screens::heldOff + screens::quitting + screens::cleanedUp);
}

TEST_F(Faults, AMegabyteOfRandomBytesWithoutQuitExitsInOrder) {
    std::mt19937 random(20261207);
    std::string noise(1 << 20, '\0');
    for (char& c : noise) {
        do {
            c = static_cast<char>(random() & 0xFF);
        } while (c == 'q');
    }
    const auto start = Clock::now();
    EXPECT_EQ(runWithInputFile(environment(), noise), 0);
    std::cout << "1 MiB of random input: exited after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() << " ms"
              << std::endl;
}

TEST_F(Faults, ClosedStandardOutputNeverHangs) {
    ChildProcess child = startChild(
        {"sh", "-c", std::string("exec ") + KEEPAWAKE_PROGRAM + " >&-"}, environment());
    typeInto(child, "e\nd\nq\n");
    closeInput(child);
    EXPECT_EQ(waitForExit(child, 10s), 0);
    releaseChild(child);
}

TEST_F(Faults, BrokenPipeOnStandardOutputNeverHangs) {
    program = startChild({KEEPAWAKE_PROGRAM}, environment());
    std::string seen;
    ASSERT_TRUE(readUntilContains(program.output, screens::heldOff, 10s, &seen));
    close(program.output);
    program.output = -1;
    typeInto(program, "e\nd\n");
    const int status = waitForExit(program, 10s);
    EXPECT_NE(status, timedOut);
    std::cout << "broken pipe: exit status " << status << std::endl;
}

TEST_F(Faults, KilledWhileRunningOrHeldLeavesTheSettingAsItWas) {
    for (const char* typed : {"", "e\n"}) {
        const std::uint16_t before = screenSaverTimeout(server);
        program = startChild({KEEPAWAKE_PROGRAM}, environment());
        std::string seen;
        typeInto(program, typed);
        ASSERT_TRUE(readUntilContains(program.output, *typed == 'e' ? screens::allowed : screens::heldOff, 10s,
                                      &seen));
        kill(program.pid, SIGKILL);
        EXPECT_EQ(waitForExit(program, 10s), 128 + SIGKILL);
        releaseChild(program);
        EXPECT_EQ(screenSaverTimeout(server), before);
    }
}

TEST_F(Faults, XServerDiesAndComesBack) {
    // Servers that start meanwhile, other tests' Xvfb and the desktop checks'
    // Xwayland alike, take the lowest free number: the restart needs its own
    // number to stay free, so this server runs far above them.
    stopXServer(server);
    for (int number = 150; number < 180 && server.pid <= 0; ++number) {
        server = startXServer(number);
    }
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started on :150 to :179";
    setScreenSaverTimeout(server, 60);

    program = startChild({KEEPAWAKE_PROGRAM}, environment());
    std::string seen;
    ASSERT_TRUE(readUntilContains(program.output, screens::heldOff, 10s, &seen));
    ASSERT_GE(watchIdle(server, 500ms).nudges, 5);

    const int display = server.display;
    xcb_disconnect(server.connection);
    server.connection = nullptr;
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
    server.pid = -1;
    holdDisplay(display);
    std::this_thread::sleep_for(1500ms);

    // The menu still answers without a server.
    typeInto(program, "e\n");
    ASSERT_TRUE(readUntilContains(program.output, screens::allowed, 10s, &seen));
    typeInto(program, "d\n");
    ASSERT_TRUE(readUntilContains(program.output, screens::heldOff, 10s, &seen));

    // Another test's server may be trying the number just now: it gives up
    // at once, seeing the lock, so a few tries are enough.
    releaseDisplay(display);
    for (int attempt = 0; attempt < 5 && server.pid <= 0; ++attempt) {
        server = startXServer(display);
        if (server.pid <= 0) {
            std::this_thread::sleep_for(200ms);
        }
    }
    ASSERT_GT(server.pid, 0) << "no new Xvfb on :" << display;
    const auto restarted = Clock::now();
    std::uint32_t previous = idleMilliseconds(server);
    bool nudged = false;
    while (!nudged && Clock::now() - restarted < 5s) {
        std::this_thread::sleep_for(5ms);
        const std::uint32_t idle = idleMilliseconds(server);
        nudged = idle < previous;
        previous = idle;
    }
    const auto resumedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restarted);
    std::cout << "X server restarted: nudges resumed after " << resumedAfter.count() << " ms" << std::endl;
    EXPECT_TRUE(nudged);
    EXPECT_LE(resumedAfter, 2500ms);

    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0);
}

}  // namespace
