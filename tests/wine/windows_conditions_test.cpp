// keepawake.exe waiting for what it keeps awake for, under Wine: a renamed
// copy of a sleeping helper starting and ending with the nudges following
// it, hours opening and closing a few seconds from now, and bad values.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>

#include "tests/support/clock_text.h"
#include "tests/support/screens.h"
#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;
using namespace screens;
using Clock = std::chrono::steady_clock;
using std::chrono::system_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Milliseconds from now until the system's last input moves on; -1 if not
// within the limit.
long long untilANudge(std::chrono::milliseconds limit) {
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    GetLastInputInfo(&info);
    const DWORD before = info.dwTime;
    const auto from = Clock::now();
    while (Clock::now() - from < limit) {
        Sleep(1);
        GetLastInputInfo(&info);
        if (info.dwTime != before) {
            return millisecondsSince(from);
        }
    }
    return -1;
}

// Watches the system's last input for the span: when it last moved on,
// in milliseconds from the start (negative: not at all).
long long lastNudgeWithin(std::chrono::milliseconds span) {
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    GetLastInputInfo(&info);
    DWORD seen = info.dwTime;
    long long last = -1;
    const auto from = Clock::now();
    while (Clock::now() - from < span) {
        Sleep(1);
        GetLastInputInfo(&info);
        if (info.dwTime != seen) {
            seen = info.dwTime;
            last = millisecondsSince(from);
        }
    }
    return last;
}

class WindowsConditions : public testing::Test {
protected:
    void SetUp() override {
        startWineDesktop();
        const std::string seconds = "60";  // a nudge every 30 ms
        writeTimeoutSetting(&seconds);
    }
    void TearDown() override { releaseChild(program); }

    KeptTimeoutSetting setting;  // put back after the program is released
    WindowsChild program;
};

TEST_F(WindowsConditions, ARenamedCopyOfASleepingHelperStartingAndEndingIsFollowedByTheNudges) {
    // Copied under a name of the test's own; asked for in another case and
    // without ".exe", as Windows users may.
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring name = L"KaSleep" + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy = std::wstring(folder) + name + L".exe";
    ASSERT_TRUE(CopyFileW(windowsPath(SLEEPER).c_str(), copy.c_str(), FALSE)) << GetLastError();
    std::wstring lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    const std::string asked(lower.begin(), lower.end());

    program = startProgram(L"--while-running " + lower);
    ASSERT_NE(program.process, nullptr);
    const std::string waiting = withLine(allowed, "Paused until " + asked + " runs.");
    ASSERT_TRUE(waitForText(program, waiting, 20s)) << writtenSoFar(program);
    const InputWatch before = watchInput(1s);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION sleeper{};
    std::wstring commandLine = L"\"" + copy + L"\" 4";
    ASSERT_TRUE(CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &sleeper))
        << GetLastError();
    const long long firstNudge = untilANudge(4s);
    EXPECT_TRUE(waitForText(program, waiting + heldOff, 3s)) << writtenSoFar(program);
    const InputWatch running = watchInput(1s);
    WaitForSingleObject(sleeper.hProcess, 10000);
    CloseHandle(sleeper.hThread);
    CloseHandle(sleeper.hProcess);
    const long long lastNudge = lastNudgeWithin(3s);
    const bool pausedAgain = waitForText(program, waiting + heldOff + waiting, 3s);
    const InputWatch after = watchInput(1s);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0u);
    releaseChild(program);
    DeleteFileW(copy.c_str());

    std::cout << "--while-running " << asked << ": " << before.nudges << " nudges in 1 s before, first nudge "
              << firstNudge << " ms after the copy started, " << running.nudges << " in 1 s while it ran, the last nudge "
              << (lastNudge < 0 ? std::string("none") : std::to_string(lastNudge) + " ms") << " after it ended, " << after.nudges << " nudges in the second after that"
              << std::endl;
    EXPECT_EQ(before.nudges, 0);
    EXPECT_GE(firstNudge, 0) << "no nudges once the program ran";
    EXPECT_LE(firstNudge, 3000);
    EXPECT_GE(running.nudges, 15);
    EXPECT_TRUE(pausedAgain) << writtenSoFar(program);
    // It may start again: the copy pauses when it has not for 2 s.
    EXPECT_GE(lastNudge, 1500);
    EXPECT_LE(lastNudge, 2500);
    EXPECT_EQ(after.nudges, 0);
    EXPECT_EQ(writtenSoFar(program), waiting + heldOff + waiting + quitting + cleanedUp);
}

// A program run again and again, 50 ms apart: the copy looks at once and
// every 250 ms after one ends, and pauses only 2 s after the last.
TEST_F(WindowsConditions, AProgramStartingAgainWithinTwoSecondsNeverPausesTheCopy) {
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring name = L"kaflap" + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy = std::wstring(folder) + name + L".exe";
    ASSERT_TRUE(CopyFileW(windowsPath(SLEEPER).c_str(), copy.c_str(), FALSE)) << GetLastError();
    program = startProgram(L"--while-running " + name);
    ASSERT_NE(program.process, nullptr);
    const std::string waiting = withLine(allowed, "Paused until " + std::string(name.begin(), name.end()) + " runs.");
    ASSERT_TRUE(waitForText(program, waiting, 20s)) << writtenSoFar(program);
    for (const auto started = Clock::now(); Clock::now() - started < 4s; Sleep(50)) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION run{};
        std::wstring commandLine = L"\"" + copy + L"\" 500ms";
        ASSERT_TRUE(CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &run));
        WaitForSingleObject(run.hProcess, 10000);
        CloseHandle(run.hThread);
        CloseHandle(run.hProcess);
    }
    const auto ended = Clock::now();
    const bool pausedAgain = waitForText(program, waiting + heldOff + waiting, 5s);
    const long long paused = millisecondsSince(ended);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0u);
    releaseChild(program);
    DeleteFileW(copy.c_str());
    std::cout << "kaflap run for 0.5 s, 50 ms apart, for 4 s: paused " << paused << " ms after the last ended"
              << std::endl;
    EXPECT_TRUE(pausedAgain) << writtenSoFar(program);
    EXPECT_EQ(writtenSoFar(program), waiting + heldOff + waiting + quitting + cleanedUp) << "paused between two runs";
    EXPECT_GE(paused, 1500);
    EXPECT_LE(paused, 3000);
}

TEST_F(WindowsConditions, HoursAFewSecondsFromNowOpenAndCloseOnTime) {
    if (clockText(system_clock::now(), "%F") != clockText(system_clock::now() + 30s, "%F")) {
        GTEST_SKIP() << "not run: midnight is less than 30 s away";
    }
    const auto opens = std::chrono::ceil<std::chrono::seconds>(system_clock::now()) + 4s;
    const auto closes = opens + 3s;
    const std::string window = clockText(opens, "%H:%M:%S") + "-" + clockText(closes, "%H:%M:%S");
    program = startProgram(L"--during " + std::wstring(window.begin(), window.end()));
    ASSERT_NE(program.process, nullptr);
    const std::string waiting = withLine(allowed, "Paused until " + shownAs(opens) + ".");
    ASSERT_TRUE(waitForText(program, waiting, 20s)) << writtenSoFar(program);
    const bool opened = waitForText(program, waiting + heldOff, 6s);
    const long long openedLate =
        std::chrono::duration_cast<std::chrono::milliseconds>(system_clock::now() - opens).count();
    const InputWatch inside = watchInput(1s);
    const std::string tomorrow =
        withLine(allowed, "Paused until " + shownAs(opens) + " on " + clockText(opens + 24h, "%A") + ".");
    const bool closed = waitForText(program, waiting + heldOff + tomorrow, 5s);
    const long long closedLate =
        std::chrono::duration_cast<std::chrono::milliseconds>(system_clock::now() - closes).count();
    Sleep(100);
    const InputWatch outside = watchInput(1s);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0u);
    releaseChild(program);

    std::cout << "--during " << window << ": opened " << openedLate << " ms after its time, " << inside.nudges
              << " nudges in 1 s inside; closed " << closedLate << " ms after its time, " << outside.nudges
              << " nudges in 1 s after" << std::endl;
    EXPECT_TRUE(opened) << writtenSoFar(program);
    EXPECT_GE(openedLate, -20);
    EXPECT_LE(openedLate, 1000);
    EXPECT_GE(inside.nudges, 15);
    EXPECT_TRUE(closed) << writtenSoFar(program);
    EXPECT_GE(closedLate, -20);
    EXPECT_LE(closedLate, 1000);
    EXPECT_EQ(outside.nudges, 0);
}

TEST_F(WindowsConditions, BadValuesAreUsageErrors) {
    for (const std::wstring arguments : {L"--during 9-17", L"--during 25:00-26:00", L"--days mon-xyz", L"--days",
                                         L"--while-running \"\"", L"--while-running C:\\obs.exe",
                                         L"--while-running obs zoom"}) {
        program = startProgram(arguments);
        ASSERT_NE(program.process, nullptr);
        EXPECT_EQ(waitForExit(program, 20s), 2u);
        releaseChild(program);
        const std::string output = writtenSoFar(program);
        EXPECT_EQ(output.rfind("keepawake: ", 0), 0u) << output;
        EXPECT_NE(output.find("\nTry 'keepawake --help' for more information.\n"), std::string::npos) << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
    }
}

}  // namespace
