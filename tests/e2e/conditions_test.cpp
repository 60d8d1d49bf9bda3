// The real program waiting for what it keeps awake for, against a private
// Xvfb: a renamed copy of sleep starting and ending with the nudges
// following it, hours opening and closing a few seconds from now, days
// without today, the boundary's timer as strace shows it, and the bad values.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/clock_text.h"
#include "tests/support/screens.h"

namespace {

using screens::withLine;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Words = std::vector<std::string>;
using std::chrono::system_clock;

Ms since(Clock::time_point start) {
    return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

// Whether the local date changes within the span: such runs would test
// midnight, not what they mean to.
bool midnightWithin(std::chrono::seconds span) {
    return clockText(system_clock::now(), "%F") != clockText(system_clock::now() + span, "%F");
}

const std::string shutdownLines = screens::quitting + screens::cleanedUp;

class ConditionsOnX : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        char folder[] = "/tmp/keepawake-conditions.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        chmod(folder, 0755);  // another user's copy runs from here too
        scratch = folder;
    }
    void TearDown() override {
        stopXServer(server);
        std::filesystem::remove_all(scratch);
    }

    ChildProcess start(Words words) {
        words.insert(words.begin(), KEEPAWAKE_PROGRAM);
        return startChild(words, {"DISPLAY=" + displayName(server), "XDG_RUNTIME_DIR=" + scratch});
    }

    // The one line --status prints for the copies of this test.
    std::string status() {
        ChildProcess asked = startChild({KEEPAWAKE_PROGRAM, "--status"}, {"XDG_RUNTIME_DIR=" + scratch});
        const std::string line = readUntilEnd(asked.output, 5s);
        waitForExit(asked, 5s);
        releaseChild(asked);
        return line;
    }

    XServer server;
    std::string scratch;
};

TEST_F(ConditionsOnX, ARenamedCopyOfSleepStartingAndEndingIsFollowedByTheNudges) {
    // A name no other process has: the program is found by it alone.
    const std::string name = "kasleep" + std::to_string(getpid());
    const std::string copy = scratch + "/" + name;
    std::filesystem::copy_file("/bin/sleep", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec | std::filesystem::perms::others_read);
    ChildProcess program = start({"--while-running", name, "-i", "100ms"});
    const std::string waiting = withLine(screens::allowed, "Paused until " + name + " runs.");
    std::string seen;
    ASSERT_TRUE(readUntilContains(program.output, waiting, 5s, &seen)) << seen;
    const std::string waitingStatus = status();

    // Another user's copy does not count.
    const bool asRoot = geteuid() == 0;
    int othersNudges = -1;
    if (asRoot) {
        ChildProcess others = startChild({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy, "3"}, {});
        othersNudges = watchIdle(server, 2500ms).nudges;
        kill(others.pid, SIGTERM);
        waitForExit(others, 5s);
        releaseChild(others);
    }
    const IdleWatch before = watchIdle(server, 500ms);

    const auto started = Clock::now();
    ChildProcess sleeper = startChild({copy, "3"}, {});
    const Ms firstNudge = untilANudge(server, started, 4s);
    EXPECT_TRUE(readUntilContains(program.output, screens::heldOff, 3s, &seen)) << seen;
    const std::string runningStatus = status();
    EXPECT_EQ(waitForExit(sleeper, 5s), 0);
    const auto ended = Clock::now();
    releaseChild(sleeper);
    const std::optional<Ms> last = lastNudge(server, ended, 4s);
    EXPECT_TRUE(readUntilContains(program.output, waiting, 3s, &seen)) << seen;
    typeInto(program, "q\n");
    EXPECT_TRUE(readUntilContains(program.output, shutdownLines, 5s, &seen));
    EXPECT_EQ(waitForExit(program, 5s), 0);
    const std::string errors = readUntilEnd(program.errors, 1s);
    releaseChild(program);

    std::cout << "--while-running " << name << ": "
              << (asRoot ? std::to_string(othersNudges) + " nudges while another user's copy ran; " : "")
              << "first nudge " << firstNudge.count() << " ms after the copy started, last nudge "
              << (last ? last->count() : -1) << " ms after it ended\n--status waiting: " << waitingStatus
              << "--status running: " << runningStatus;
    if (!asRoot) {
        std::cout << "not run: another user's copy (setpriv needs root)" << std::endl;
    }
    EXPECT_EQ(before.nudges, 0) << "nudges before the program ran";
    if (asRoot) {
        EXPECT_EQ(othersNudges, 0) << "another user's program counted";
    }
    EXPECT_GE(firstNudge, 0ms) << "no nudges once the program ran";
    EXPECT_LE(firstNudge, 2500ms);
    ASSERT_TRUE(last) << "nudges went on after the program ended";
    // It may start again: the copy pauses when it has not for 2 s.
    EXPECT_GE(*last, 1500ms);
    EXPECT_LE(*last, 2500ms);
    EXPECT_NE(waitingStatus.find(" paused since "), std::string::npos) << waitingStatus;
    EXPECT_NE(waitingStatus.find(", until " + name + " runs\n"), std::string::npos) << waitingStatus;
    EXPECT_NE(runningStatus.find(" awake since "), std::string::npos) << runningStatus;
    EXPECT_NE(runningStatus.find(", while " + name + " runs\n"), std::string::npos) << runningStatus;
    EXPECT_EQ(errors, "");
}

TEST_F(ConditionsOnX, AnEndedProgramNotYetReapedDoesNotCountNorSpin) {
    const std::string name = "kazombie" + std::to_string(getpid());
    const std::string copy = scratch + "/" + name;
    std::filesystem::copy_file("/bin/sleep", copy);
    // The copy ends at once; its parent, become sleep, never reaps it.
    ChildProcess parent = startChild({"sh", "-c", "\"$0\" 0 & exec sleep 30", copy}, {});
    std::this_thread::sleep_for(300ms);
    ChildProcess program = start({"-n", "--while-running", name, "-i", "100ms"});
    std::this_thread::sleep_for(500ms);
    const IdleWatch watch = watchIdle(server, 2s);
    // The main thread's processor time so far, from the scheduler.
    std::ifstream schedstat("/proc/" + std::to_string(program.pid) + "/schedstat");
    long long cpuNs = -1;
    schedstat >> cpuNs;
    kill(program.pid, SIGTERM);
    EXPECT_EQ(waitForExit(program, 5s), 0);
    releaseChild(program);
    kill(parent.pid, SIGTERM);
    waitForExit(parent, 5s);
    releaseChild(parent);
    std::cout << "an ended, unreaped " << name << ": " << watch.nudges << " nudges in 2 s, "
              << cpuNs / 1000 << " µs of the main thread's processor time in 2.5 s" << std::endl;
    EXPECT_EQ(watch.nudges, 0) << "an ended program counted as running";
    EXPECT_GE(cpuNs, 0);
    EXPECT_LE(cpuNs, 200'000'000) << "looking again and again";
}

// The names ps, top and pgrep show count, not the executable's alone: a
// script's own name (its executable is the shell), cut by the kernel to 15
// characters or not, and a first argument a program was started under.
TEST_F(ConditionsOnX, ProgramsAreFoundByTheirProcessNameExecutableOrFirstArgument) {
    const std::string id = std::to_string(getpid());
    for (const std::string& script : {"ka" + id + ".sh", "kalongscript" + id + ".sh"}) {
        std::ofstream(scratch + "/" + script) << "#!/bin/sh\nsleep 30\n";
        std::filesystem::permissions(scratch + "/" + script, std::filesystem::perms::owner_all);
    }
    const struct {
        std::string name;
        Words command;
        bool found;
    } cases[] = {
        {"ka" + id + ".sh", {scratch + "/ka" + id + ".sh"}, true},
        {"kalongscript" + id + ".sh", {scratch + "/kalongscript" + id + ".sh"}, true},
        {"kaargv" + id, {"bash", "-c", "exec -a kaargv" + id + " sleep 30"}, true},
        {"kaword" + id, {"sh", "-c", "sleep 30", "kaword" + id}, false},  // a later argument does not count
    };
    for (const auto& c : cases) {
        ChildProcess running = startChild(c.command, {});
        std::this_thread::sleep_for(200ms);
        ChildProcess program = start({"-n", "--while-running", c.name, "-i", "100ms"});
        std::string line;
        for (const auto asked = Clock::now(); since(asked) < 3s; std::this_thread::sleep_for(100ms)) {
            line = status();
            if (line.find(" awake since ") != std::string::npos || (!c.found && !line.empty())) {
                break;
            }
        }
        EXPECT_NE(line.find(c.found ? " awake since " : " paused since "), std::string::npos) << c.name << ": " << line;
        for (ChildProcess* child : {&program, &running}) {
            kill(child->pid, SIGTERM);
            waitForExit(*child, 5s);
            releaseChild(*child);
        }
    }
}

// A program run again and again, 50 ms apart: the copy looks at once and
// every 250 ms after one ends, and pauses only 2 s after the last.
TEST_F(ConditionsOnX, AProgramStartingAgainWithinTwoSecondsNeverPausesTheCopy) {
    const std::string name = "kaflap" + std::to_string(getpid());
    const std::string copy = scratch + "/" + name;
    std::filesystem::copy_file("/bin/sleep", copy);
    ChildProcess program = start({"--while-running", name, "-i", "100ms"});
    const std::string waiting = withLine(screens::allowed, "Paused until " + name + " runs.");
    std::string seen;
    ASSERT_TRUE(readUntilContains(program.output, waiting, 5s, &seen)) << seen;
    for (const auto started = Clock::now(); since(started) < 4s; std::this_thread::sleep_for(50ms)) {
        ChildProcess run = startChild({copy, "0.5"}, {});
        waitForExit(run, 5s);
        releaseChild(run);
    }
    const auto ended = Clock::now();
    std::string after;
    EXPECT_TRUE(readUntilContains(program.output, screens::heldOff + waiting, 5s, &after)) << after;
    const Ms paused = since(ended);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 5s), 0);
    releaseChild(program);
    std::cout << name << " run for 0.5 s, 50 ms apart, for 4 s: paused " << paused.count()
              << " ms after the last ended" << std::endl;
    EXPECT_EQ(after, screens::heldOff + waiting) << "paused between two runs";
    EXPECT_GE(paused, 1500ms);
    EXPECT_LE(paused, 3000ms);
}

TEST_F(ConditionsOnX, HoursAFewSecondsFromNowOpenAndCloseOnTheSecond) {
    if (midnightWithin(30s)) {
        GTEST_SKIP() << "not run: midnight is less than 30 s away";
    }
    const auto opens = std::chrono::ceil<std::chrono::seconds>(system_clock::now()) + 3s;
    const auto closes = opens + 3s;
    const std::string window = clockText(opens, "%H:%M:%S") + "-" + clockText(closes, "%H:%M:%S");
    ChildProcess program = start({"--during", window, "-i", "100ms"});
    std::string seen;
    EXPECT_TRUE(readUntilContains(program.output,
                                  withLine(screens::allowed, "Paused until " + shownAs(opens) + "."),
                                  5s, &seen))
        << seen;
    // How far from the boundary, on the system clock, the nudges followed.
    auto steadyAt = [](system_clock::time_point when) {
        return Clock::now() + std::chrono::duration_cast<Clock::duration>(when - system_clock::now());
    };
    const IdleWatch before = watchIdle(server, Ms(std::max<long long>(0, since(steadyAt(opens)).count() * -1 - 300)));
    const Ms opened = untilANudge(server, steadyAt(opens), 2500ms);
    const std::optional<Ms> closed = lastNudge(server, steadyAt(closes), 5s);
    const std::string tomorrow = clockText(opens + 24h, "%A");
    EXPECT_TRUE(readUntilContains(
        program.output,
        screens::heldOff + withLine(screens::allowed, "Paused until " + shownAs(opens) + " on " +
                                                          tomorrow + "."),
        3s, &seen))
        << seen;
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 5s), 0);
    releaseChild(program);
    std::cout << "--during " << window << ": " << before.nudges << " nudges before it opened; first nudge "
              << opened.count() << " ms after it opened, last nudge " << (closed ? closed->count() : -1)
              << " ms after it closed" << std::endl;
    EXPECT_EQ(before.nudges, 0);
    EXPECT_GE(opened, 0ms) << "no nudges once it opened";
    EXPECT_LE(opened, 1000ms);
    ASSERT_TRUE(closed) << "nudges went on after it closed";
    EXPECT_GE(*closed, -300ms) << "stopped before it closed";
    EXPECT_LE(*closed, 1000ms);
}

TEST_F(ConditionsOnX, DaysWithoutTodayKeepItPausedAndSayUntilWhen) {
    if (midnightWithin(10s)) {
        GTEST_SKIP() << "not run: midnight is less than 10 s away";
    }
    const char* names[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    const std::tm today = [] {
        const std::time_t now = std::time(nullptr);
        return *std::localtime(&now);
    }();
    std::string others;
    for (int day = 1; day < 7; ++day) {
        others += (others.empty() ? "" : ",") + std::string(names[(today.tm_wday + day) % 7]);
    }
    ChildProcess program = start({"--days", others, "-i", "100ms"});
    const std::string line = "Paused until 00:00 on " + clockText(system_clock::now() + 24h, "%A") + ".";
    std::string seen;
    EXPECT_TRUE(readUntilContains(program.output, withLine(screens::allowed, line), 5s, &seen)) << seen;
    const IdleWatch paused = watchIdle(server, 1s);
    // "d" cannot override the days; "e" and "d" still answer.
    typeInto(program, "d\n");
    EXPECT_TRUE(readUntilContains(program.output, withLine(screens::allowed, line), 2s, &seen)) << seen;
    const IdleWatch afterD = watchIdle(server, 500ms);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 5s), 0);
    releaseChild(program);
    std::cout << "--days " << others << ": " << paused.nudges << " nudges in 1 s, " << afterD.nudges
              << " after \"d\"" << std::endl;
    EXPECT_EQ(paused.nudges, 0);
    EXPECT_EQ(afterD.nudges, 0);
}

TEST(HoursClock, TheBoundaryWaitsOnTheRealTimeClockAndIsArmedAnewAtEachBoundary) {
    char trace[] = "/tmp/keepawake-hours-timers.XXXXXX";
    const int fd = mkstemp(trace);
    ASSERT_GE(fd, 0);
    close(fd);
    const auto opens = std::chrono::ceil<std::chrono::seconds>(system_clock::now()) + 2s;
    const auto closes = opens + 1s;
    const std::string window = clockText(opens, "%H:%M:%S") + "-" + clockText(closes, "%H:%M:%S");
    ChildProcess program = startChild({"strace", "-f", "-o", trace, "-e", "trace=timerfd_create,timerfd_settime",
                                       KEEPAWAKE_PROGRAM, "--no-menu", "--during", window, "--for", "4s"},
                                      {"DISPLAY", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"});
    const int exited = waitForExit(program, 15s);
    releaseChild(program);
    std::ifstream file(trace);
    std::stringstream lines;
    lines << file.rdbuf();
    unlink(trace);
    const std::string seen = lines.str();
    std::cout << "--during " << window << " under strace:\n";
    int armings = 0;
    std::vector<long long> armedAt;
    std::istringstream each(seen);
    for (std::string line; std::getline(each, line);) {
        if (line.find("timerfd") != std::string::npos) {
            std::cout << "strace: " << line.substr(line.find(' ') + 1) << std::endl;
        }
        const auto flags = line.find("TFD_TIMER_ABSTIME|TFD_TIMER_CANCEL_ON_SET");
        const auto value = line.find("it_value={tv_sec=");
        if (flags != std::string::npos && value != std::string::npos) {
            ++armings;
            armedAt.push_back(std::stoll(line.substr(value + 17)));
        }
    }
    EXPECT_EQ(exited, 0);
    EXPECT_NE(seen.find("timerfd_create(CLOCK_REALTIME"), std::string::npos) << seen;
    // At the start for the opening, at the opening for the closing, at the
    // closing for tomorrow's opening: each on its own second.
    const long long open = system_clock::to_time_t(opens);
    const long long close = system_clock::to_time_t(closes);
    const std::vector<long long> expected{open, close, open + 24 * 3600};
    if (!midnightWithin(30s)) {
        EXPECT_EQ(armedAt, expected) << seen;
    }
    EXPECT_EQ(armings, 3) << seen;
}

TEST(ConditionValues, BadValuesAreUsageErrorsWithNothingOnStandardOutput) {
    const Words bad[] = {
        {"--during", "9-17"},          {"--during", "25:00-26:00"},       {"--during", "09:00-09:00"},
        {"--during", "09:00"},         {"--days", "mon-xyz"},             {"--days", ""},
        {"--days"},                    {"--days", "mon,,fri"},            {"--while-running", ""},
        {"--while-running"},           {"--while-running", "/bin/sleep"}, {"--while-running", "a", "b"},
        {"--during=9-17"},             {"--days=", "--during", "08:00-09:00"},
    };
    for (const Words& words : bad) {
        Words command{KEEPAWAKE_PROGRAM};
        command.insert(command.end(), words.begin(), words.end());
        ChildProcess program = startChild(command, {"DISPLAY"});
        const std::string output = readUntilEnd(program.output, 5s);
        const std::string errors = readUntilEnd(program.errors, 5s);
        EXPECT_EQ(waitForExit(program, 5s), 2) << words[0];
        releaseChild(program);
        EXPECT_EQ(output, "") << words[0];
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
        EXPECT_EQ(errors.rfind("keepawake: ", 0), 0u) << errors;
        EXPECT_NE(errors.find("\nTry 'keepawake --help' for more information.\n"), std::string::npos) << errors;
    }
}

}  // namespace
