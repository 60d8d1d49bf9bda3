// The real program against a real X server of its own: the server's idle
// counter shows every nudge, and nothing else about the server may change.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
        if (!home.empty()) {
            std::filesystem::remove_all(home);
        }
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

    // A home and runtime folder of the test's own, for copies and watchers
    // beside the server; removed with the server.
    std::vector<std::string> privateHome() {
        char folder[] = "/tmp/keepawake-watchers-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            return {};
        }
        home = folder;
        std::filesystem::create_directories(home + "/run");
        std::filesystem::permissions(home + "/run", std::filesystem::perms::owner_all);
        return {"DISPLAY=" + displayName(server), "HOME=" + home, "XDG_RUNTIME_DIR=" + home + "/run", "XAUTHORITY"};
    }

    // The --status line of the copies there.
    static std::string status(const std::vector<std::string>& here) {
        ChildProcess asked = startChild({KEEPAWAKE_PROGRAM, "--status"}, here);
        const std::string line = readUntilEnd(asked.output, 5s);
        waitForExit(asked, 5s);
        releaseChild(asked);
        return line;
    }

    // Asks until the line has the words, for up to the limit; the last line.
    static std::string statusWith(const std::vector<std::string>& here, const std::string& words,
                                  std::chrono::milliseconds limit) {
        const auto start = Clock::now();
        std::string line = status(here);
        while (line.find(words) == std::string::npos && Clock::now() - start < limit) {
            std::this_thread::sleep_for(50ms);
            line = status(here);
        }
        return line;
    }

    XServer server;
    ChildProcess program;
    std::string output;
    std::string home;
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

// A watcher that starts under a running copy, found on the copy's display:
// the copy goes over to one eightieth of the watcher's timer within about
// 2 s, says so in --status, and nudges at that pace.
TEST_F(ProgramOnX, AWatcherStartedUnderTheCopySetsItsPace) {
    const struct {
        std::vector<std::string> watcher;
        const char* settings;  // ~/.xscreensaver
        std::uint32_t interval;
        const char* words;
    } watchers[] = {
        {{"xscreensaver", "-no-splash"}, "timeout:\t0:02:00\nlock:\t\tFalse\n", 1500, "for xscreensaver's 2 min"},
        {{"xautolock", "-time", "3", "-locker", "true"}, "", 2250, "for xautolock's 3 min"},
    };
    for (const auto& row : watchers) {
        const std::string& name = row.watcher[0];
        if (access(("/usr/bin/" + name).c_str(), X_OK) != 0) {
            GTEST_SKIP() << "not run: " << name << " is not installed (scripts/ensure-packages test)";
        }
    }
    const std::vector<std::string> here = privateHome();
    ASSERT_FALSE(here.empty());
    for (const auto& row : watchers) {
        const std::string& name = row.watcher[0];
        // xscreensaver sets the server's own timeout to 0 while it runs.
        setScreenSaverTimeout(server, 600);
        std::ofstream(home + "/.xscreensaver") << row.settings;
        ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "-n"}, here);
        std::string line = statusWith(here, "every 7500 ms", 5s);
        EXPECT_NE(line.find("every 7500 ms, for the screen saver's 10 min"), std::string::npos) << line;

        const auto descriptors = [&copy] {
            const std::filesystem::directory_iterator open("/proc/" + std::to_string(copy.pid) + "/fd");
            return std::distance(begin(open), end(open));
        };
        auto before = descriptors();
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(100ms);
            before = std::min(before, descriptors());
        }

        ChildProcess watcher = startChild(row.watcher, here);
        const auto started = Clock::now();
        const std::string wanted = "every " + std::to_string(row.interval) + " ms, " + row.words;
        line = statusWith(here, wanted, 5s);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        std::cout << name << " started under the copy: \"" << line.substr(0, line.find('\n')) << "\" after "
                  << took.count() << " ms" << std::endl;
        EXPECT_NE(line.find(wanted), std::string::npos) << name << ": " << line;
        // Its start up to its mark on the display, and the copy's look.
        EXPECT_LT(took, 3s) << name;

        // From the first nudge at the new pace: the one before came at the old.
        untilANudge(server, Clock::now(), 3s);
        const IdleWatch watch = watchIdle(server, 4600ms);
        report(name.c_str(), screenSaverTimeout(server), row.interval, watch);
        EXPECT_LE(watch.largestIdleMs, row.interval + slackMs) << name;
        EXPECT_GE(watch.largestIdleMs, row.interval - slackMs) << name << " is not waited for faster than its pace";
        // Each reading lets go of the connection it read on (a --status
        // just answered may still hold one then).
        EXPECT_LE(descriptors(), before) << name;

        kill(copy.pid, SIGTERM);
        EXPECT_EQ(waitForExit(copy, 10s), 0) << name;
        releaseChild(copy);
        kill(watcher.pid, SIGTERM);
        waitForExit(watcher, 10s);
        releaseChild(watcher);
    }
}

// Only the watchers of the copy's own display count: xscreensaver on another
// display of the same user and home is not this session's, and a process id
// that xautolock left on the root window counts only while xautolock runs.
TEST_F(ProgramOnX, OnlyThisDisplaysRunningWatchersCount) {
    if (access("/usr/bin/xscreensaver", X_OK) != 0) {
        GTEST_SKIP() << "not run: xscreensaver is not installed (scripts/ensure-packages test)";
    }
    const std::vector<std::string> here = privateHome();
    ASSERT_FALSE(here.empty());
    std::ofstream(home + "/.xscreensaver") << "timeout:\t0:01:00\n";
    XServer other = startXServer();
    ASSERT_GT(other.pid, 0) << "a second Xvfb could not be started";
    std::vector<std::string> there = here;
    there[0] = "DISPLAY=" + displayName(other);
    ChildProcess elsewhere = startChild({"xscreensaver", "-no-splash"}, there);
    // A stand-in under xautolock's name, which keeps its arguments and waits.
    std::filesystem::copy_file("/bin/sh", home + "/xautolock");
    ChildProcess xautolock = startChild({home + "/xautolock", "-c", "sleep 60"}, here);
    // Up on its display before the copy starts.
    std::string up;
    for (int i = 0; i < 50 && up.find("XScreenSaver") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        ChildProcess asked = startChild({"xscreensaver-command", "-time"}, there);
        up = readUntilEnd(asked.output, 5s);
        waitForExit(asked, 5s);
        releaseChild(asked);
    }
    ASSERT_NE(up.find("XScreenSaver"), std::string::npos) << "xscreensaver did not start on the other display";

    setScreenSaverTimeout(server, 600);
    ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "-n"}, here);
    const std::string serverPace = "every 7500 ms, for the screen saver's 10 min";
    EXPECT_NE(statusWith(here, serverPace, 5s).find(serverPace), std::string::npos);

    const auto setProperty = [this](const char* name, xcb_atom_t type, std::uint8_t format, const void* data,
                                    std::uint32_t length) {
        const auto cookie = xcb_intern_atom(server.connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(server.connection, cookie, nullptr);
        ASSERT_NE(atom, nullptr);
        xcb_change_property(server.connection, XCB_PROP_MODE_REPLACE, server.root, atom->atom, type, format, length,
                            data);
        xcb_flush(server.connection);
        std::free(atom);
    };
    // Its -time from the X resources, once its number is on the root window.
    const std::string resources = "Xautolock.time:\t2\n";
    setProperty("RESOURCE_MANAGER", XCB_ATOM_STRING, 8, resources.data(), static_cast<std::uint32_t>(resources.size()));
    const std::int32_t pid = xautolock.pid;
    setProperty("XAUTOLOCK_SEMAPHORE_PID", XCB_ATOM_INTEGER, 8, &pid, sizeof pid);
    const std::string xautolockPace = "every 1500 ms, for xautolock's 2 min";
    EXPECT_NE(statusWith(here, xautolockPace, 3s).find(xautolockPace), std::string::npos);

    // Ended, it leaves its number behind; the next reading passes it over.
    kill(xautolock.pid, SIGTERM);
    waitForExit(xautolock, 5s);
    releaseChild(xautolock);
    const std::string later = "Xautolock.time:\t3\n";
    setProperty("RESOURCE_MANAGER", XCB_ATOM_STRING, 8, later.data(), static_cast<std::uint32_t>(later.size()));
    std::string line = statusWith(here, serverPace, 3s);
    EXPECT_NE(line.find(serverPace), std::string::npos) << line;
    // Nor does another program that came to have that number.
    const std::int32_t another = getpid();
    setProperty("XAUTOLOCK_SEMAPHORE_PID", XCB_ATOM_INTEGER, 8, &another, sizeof another);
    std::this_thread::sleep_for(500ms);
    line = status(here);
    EXPECT_NE(line.find(serverPace), std::string::npos) << line;

    kill(copy.pid, SIGTERM);
    EXPECT_EQ(waitForExit(copy, 10s), 0);
    releaseChild(copy);
    ChildProcess quit = startChild({"xscreensaver-command", "-exit"}, there);
    waitForExit(quit, 5s);
    releaseChild(quit);
    waitForExit(elsewhere, 5s);
    releaseChild(elsewhere);
    stopXServer(other);
}

}  // namespace
