// The real program following the machine under a private Xvfb, with UPower
// and logind as dbusmock services on a private system bus: battery and lock
// pause it within a second and their end resumes it, the user's own pause
// stays, a missing or silent bus holds up nothing. And the limits' clocks,
// as strace shows them.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/system_bus.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using screens::withLine;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Words = std::vector<std::string>;

const std::string session = "c7";

Ms since(Clock::time_point start) {
    return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

long lineCount(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

class MachineOnX : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        bus = startSystemBus();
        ASSERT_FALSE(bus.address.empty()) << "no private bus";
        // A runtime folder of the test's own, so that its status line lists
        // this copy alone, whatever else runs meanwhile.
        char folder[] = "/tmp/keepawake-machine-runtime.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        runtime = folder;
    }
    void TearDown() override {
        stopSystemBus(bus);
        stopXServer(server);
        if (!runtime.empty()) {
            std::filesystem::remove_all(runtime);
        }
    }

    void startServices() {
        ASSERT_TRUE(startMock(bus, "org.freedesktop.UPower", "/org/freedesktop/UPower"));
        ASSERT_TRUE(startMock(bus, "org.freedesktop.login1", "/org/freedesktop/login1"));
        ASSERT_TRUE(addSession(bus, session));
    }

    ChildProcess start(Words words, const std::string& busAddress) {
        words.insert(words.begin(), KEEPAWAKE_PROGRAM);
        return startChild(words, {"DISPLAY=" + displayName(server), "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress,
                                  "XDG_SESSION_ID=" + session, "XDG_RUNTIME_DIR=" + runtime});
    }

    XServer server;
    SystemBus bus;
    std::string runtime;
};

TEST_F(MachineOnX, OnBatteryItPausesAndMainsPowerResumesIt) {
    startServices();
    ChildProcess program = start({"--no-menu", "--only-on-ac", "--interval", "100ms"}, bus.address);
    ASSERT_GE(untilANudge(server, Clock::now(), 3s), 0ms) << "no nudges on mains power";

    auto changed = Clock::now();
    ASSERT_TRUE(setOnBattery(bus, true));
    const std::optional<Ms> paused = lastNudge(server, changed, 3s);
    changed = Clock::now();
    ASSERT_TRUE(setOnBattery(bus, false));
    const Ms resumed = untilANudge(server, changed, 3s);
    std::cout << "--only-on-ac: on battery, the last nudge " << (paused ? paused->count() : -1)
              << " ms after the change; on mains again, the next nudge after " << resumed.count() << " ms"
              << std::endl;
    ASSERT_TRUE(paused) << "nudges went on on battery";
    EXPECT_LE(*paused, 1s);
    EXPECT_GE(resumed, 0ms) << "no nudges once mains power was back";
    EXPECT_LE(resumed, 1s);

    kill(program.pid, SIGTERM);
    EXPECT_EQ(waitForExit(program, 5s), 0);
    EXPECT_EQ(readUntilEnd(program.output, 1s), screens::quitting + screens::cleanedUp);
    EXPECT_EQ(readUntilEnd(program.errors, 1s), "") << "both services answered: nothing to say";
    releaseChild(program);
}

TEST_F(MachineOnX, TheUsersPauseOutlastsTheBatterysAndTheLockShowsInTheMenu) {
    startServices();
    ChildProcess program =
        start({"--only-on-ac", "--pause-when-locked", "--interval", "100ms"}, bus.address);
    std::string seen;
    ASSERT_TRUE(readUntilContains(program.output, screens::heldOff, 5s, &seen));

    // On battery the menu says why, at once and without a key.
    ASSERT_TRUE(setOnBattery(bus, true));
    const auto onBattery = Clock::now();
    EXPECT_TRUE(readUntilContains(program.output, withLine(screens::allowed, "Paused while on battery."), 2s, &seen))
        << seen;
    const Ms redrawn = since(onBattery);
    // The copy's status line says the same.
    ChildProcess status = startChild({KEEPAWAKE_PROGRAM, "--status"}, {"XDG_RUNTIME_DIR=" + runtime});
    const std::string statusLine = readUntilEnd(status.output, 5s);
    const int statusExit = waitForExit(status, 5s);
    releaseChild(status);
    std::cout << "--status on battery: exit " << statusExit << ", " << statusLine;
    EXPECT_EQ(statusExit, 1) << statusLine;
    EXPECT_NE(statusLine.find(std::to_string(program.pid) + " paused since "), std::string::npos) << statusLine;
    EXPECT_NE(statusLine.find(", on battery, unlocked\n"), std::string::npos) << statusLine;
    // The user's own "e" meanwhile; mains power back leaves it paused.
    typeInto(program, "e\n");
    ASSERT_TRUE(readUntilContains(program.output, withLine(screens::allowed, "Paused while on battery."), 2s, &seen));
    ASSERT_TRUE(setOnBattery(bus, false));
    EXPECT_TRUE(readUntilContains(program.output, screens::allowed, 2s, &seen)) << seen;
    const IdleWatch stillPaused = watchIdle(server, 1s);
    std::cout << "menu: on battery, redrawn after " << redrawn.count() << " ms; after \"e\" and mains power, "
              << stillPaused.nudges << " nudges in 1 s" << std::endl;
    EXPECT_EQ(stillPaused.nudges, 0) << "mains power resumed what the user paused";

    // "d": running again. Then the lock pauses it with its own line, and
    // unlocking takes the line away.
    typeInto(program, "d\n");
    EXPECT_TRUE(readUntilContains(program.output, screens::heldOff, 2s, &seen));
    const auto lockedAt = Clock::now();
    ASSERT_TRUE(setLockedHint(bus, session, true));
    EXPECT_TRUE(
        readUntilContains(program.output, withLine(screens::allowed, "Paused while the session is locked."), 2s, &seen))
        << seen;
    const std::optional<Ms> lockedPause = lastNudge(server, lockedAt, 3s);
    const auto unlockedAt = Clock::now();
    ASSERT_TRUE(setLockedHint(bus, session, false));
    EXPECT_TRUE(readUntilContains(program.output, screens::heldOff, 2s, &seen)) << seen;
    const Ms unlockedNudge = untilANudge(server, unlockedAt, 3s);
    std::cout << "--pause-when-locked: locked, the last nudge " << (lockedPause ? lockedPause->count() : -1)
              << " ms after the change; unlocked, the next nudge after " << unlockedNudge.count() << " ms"
              << std::endl;
    ASSERT_TRUE(lockedPause) << "nudges went on while locked";
    EXPECT_LE(*lockedPause, 1s);
    EXPECT_GE(unlockedNudge, 0ms);
    EXPECT_LE(unlockedNudge, 1s);

    typeInto(program, "q\n");
    EXPECT_TRUE(readUntilContains(program.output, screens::quitting + screens::cleanedUp, 5s, &seen));
    EXPECT_EQ(waitForExit(program, 5s), 0);
    releaseChild(program);
}

TEST_F(MachineOnX, WithoutTheServicesOneLineSaysSoAndItKeepsAwake) {
    // The bus is there, UPower and logind are not.
    ChildProcess program = start({"--no-menu", "--only-on-ac", "--pause-when-locked", "--interval", "100ms"},
                                 bus.address);
    std::string errors;
    const bool said = readUntilContains(program.errors, "\n", 5s, &errors);
    const IdleWatch watch = watchIdle(server, 1s);
    kill(program.pid, SIGTERM);
    EXPECT_EQ(waitForExit(program, 5s), 0);
    errors += readUntilEnd(program.errors, 1s);
    releaseChild(program);
    std::cout << "no UPower, no logind: " << errors << "no UPower, no logind: " << watch.nudges
              << " nudges in the next second" << std::endl;
    EXPECT_TRUE(said);
    EXPECT_EQ(lineCount(errors), 1) << errors;
    EXPECT_NE(errors.find("on battery"), std::string::npos) << errors;
    EXPECT_NE(errors.find("locked"), std::string::npos) << errors;
    EXPECT_GE(watch.nudges, 7) << "it must keep awake as if on mains power and unlocked";
}

TEST_F(MachineOnX, ABusThatNeverAnswersHoldsUpNeitherTheMenuNorQ) {
    SilentBus silent = startSilentBus();
    ASSERT_FALSE(silent.address.empty());
    const auto started = Clock::now();
    ChildProcess program = start({"--only-on-ac", "--pause-when-locked", "--interval", "100ms"}, silent.address);
    std::string seen;
    const bool menu = readUntilContains(program.output, screens::heldOff, 5s, &seen);
    const Ms shown = since(started);
    const IdleWatch watch = watchIdle(server, 500ms);
    const auto quitAt = Clock::now();
    typeInto(program, "q\n");
    readUntilContains(program.output, screens::quitting + screens::cleanedUp, 5s, &seen);
    const int status = waitForExit(program, 5s);
    const Ms quit = since(quitAt);
    releaseChild(program);
    stopSilentBus(silent);
    std::cout << "silent system bus: menu after " << shown.count() << " ms, q exited in " << quit.count() << " ms, "
              << watch.nudges << " nudges in 0.5 s" << std::endl;
    EXPECT_TRUE(menu);
    EXPECT_LE(shown, 1s);
    EXPECT_LE(quit, 1s);
    EXPECT_EQ(status, 0);
    EXPECT_GE(watch.nudges, 3) << "kept awake while the bus says nothing";
}

// "HH:MM:SS" of the local clock, some seconds from now.
std::string clockIn(int seconds) {
    const std::time_t then = std::time(nullptr) + seconds;
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&then));
    return text;
}

TEST(LimitClocks, UntilAndForWaitOnTimersOfTheRealTimeAndBootClocks) {
    char trace[] = "/tmp/keepawake-timers.XXXXXX";
    const int fd = mkstemp(trace);
    ASSERT_GE(fd, 0);
    close(fd);
    const auto started = Clock::now();
    ChildProcess program = startChild({"strace", "-f", "-o", trace, "-e", "trace=timerfd_create,timerfd_settime",
                                       KEEPAWAKE_PROGRAM, "--no-menu", "--until", clockIn(3), "--for", "1h"},
                                      // LeakSanitizer cannot run under a tracer; the
                                      // other runs check for leaks.
                                      {"DISPLAY", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"});
    const int status = waitForExit(program, 10s);
    const Ms ended = since(started);
    const std::string output = readUntilEnd(program.output, 1s);
    releaseChild(program);
    std::ifstream file(trace);
    std::stringstream lines;
    lines << file.rdbuf();
    unlink(trace);
    const std::string seen = lines.str();
    std::istringstream each(seen);
    for (std::string line; std::getline(each, line);) {
        if (line.find("timerfd") != std::string::npos) {
            std::cout << "strace: " << line.substr(line.find(' ') + 1) << std::endl;
        }
    }
    std::cout << "--until in 3 s: ended after " << ended.count() << " ms" << std::endl;

    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, screens::quitting + screens::cleanedUp);
    EXPECT_GE(ended, 1s);
    EXPECT_LE(ended, 6s);
    EXPECT_NE(seen.find("timerfd_create(CLOCK_REALTIME"), std::string::npos) << seen;
    EXPECT_NE(seen.find("TFD_TIMER_ABSTIME|TFD_TIMER_CANCEL_ON_SET"), std::string::npos) << seen;
    EXPECT_NE(seen.find("timerfd_create(CLOCK_BOOTTIME"), std::string::npos) << seen;
    EXPECT_NE(seen.find("it_value={tv_sec=3600, tv_nsec=0}"), std::string::npos) << "--for 1h on the boot clock";
}

}  // namespace
