// The real keepawake.exe on Windows (run here under Wine): its screens, its
// exit, and the nudges as the system's last-input time shows them.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/screens.h"
#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;
using namespace screens;

class WindowsProgram : public testing::Test {
protected:
    void TearDown() override {
        releaseChild(program);
        // Wine counts a zero-distance move as input, as Windows does: the
        // program must not say otherwise.
        if (program.output != nullptr) {
            EXPECT_EQ(writtenSoFar(program).find("did not count"), std::string::npos) << writtenSoFar(program);
        }
    }

    void start(const char* timeout, const std::wstring& arguments = L"", const std::string& screen = heldOff) {
        if (timeout == nullptr) {
            writeTimeoutSetting(nullptr);
        } else {
            const std::string seconds = timeout;
            writeTimeoutSetting(&seconds);
        }
        settingBefore = readTimeoutSetting();
        program = startProgram(arguments);
        ASSERT_NE(program.process, nullptr) << "keepawake.exe did not start";
        ASSERT_TRUE(waitForText(program, screen, 20s)) << writtenSoFar(program);
    }

    void quit() {
        typeInto(program, "q\n");
        EXPECT_EQ(waitForExit(program, 20s), 0u);
        EXPECT_TRUE(waitForText(program, quitting + cleanedUp, 5s)) << writtenSoFar(program);
        EXPECT_EQ(readTimeoutSetting(), settingBefore) << "the setting must not change";
    }

    static void report(const char* what, const InputWatch& watch) {
        std::cout << what << ": " << watch.nudges << " nudges, median period " << watch.medianGapMs
                  << " ms, longest " << watch.largestGapMs << " ms" << std::endl;
    }

    KeptTimeoutSetting setting;  // put back after the program is released
    std::string settingBefore;
    WindowsChild program;
};

TEST_F(WindowsProgram, MenuSessionShowsTheExactScreens) {
    start("600");
    typeInto(program, "e\n");
    ASSERT_TRUE(waitForText(program, heldOff + allowed, 20s)) << writtenSoFar(program);
    typeInto(program, "d\n");
    ASSERT_TRUE(waitForText(program, heldOff + allowed + heldOff, 20s)) << writtenSoFar(program);
    quit();
    releaseChild(program);
    EXPECT_EQ(writtenSoFar(program), heldOff + allowed + heldOff + quitting + cleanedUp);
}

TEST_F(WindowsProgram, EndOfInputExitsInOrder) {
    start("600");
    typeInto(program, "e\n");
    closeInput(program);
    EXPECT_EQ(waitForExit(program, 20s), 0u);
    releaseChild(program);
    EXPECT_EQ(writtenSoFar(program), heldOff + allowed + quitting + cleanedUp);
}

TEST_F(WindowsProgram, SixtyOneSecondsGiveANudgeEvery762Ms) {
    start("61");
    const InputWatch watch = watchInput(5s);
    report("timeout 61 s", watch);
    EXPECT_GE(watch.nudges, 4);
    EXPECT_GE(watch.medianGapMs, 700u);
    EXPECT_LE(watch.medianGapMs, 850u);
    EXPECT_FALSE(watch.cursorMoved);
    quit();
}

TEST_F(WindowsProgram, SixtySecondsGiveANudgeEvery30Ms) {
    start("60");
    const InputWatch watch = watchInput(2s);
    report("timeout 60 s", watch);
    EXPECT_GE(watch.nudges, 30);
    EXPECT_GE(watch.medianGapMs, 20u);
    EXPECT_LE(watch.medianGapMs, 50u);
    EXPECT_FALSE(watch.cursorMoved);
    quit();
}

TEST_F(WindowsProgram, ZeroTimeoutGivesTheFastNudge) {
    start("0");
    const InputWatch watch = watchInput(1s);
    report("timeout 0 s", watch);
    EXPECT_GE(watch.nudges, 15);
    EXPECT_LE(watch.medianGapMs, 50u);
    quit();
}

TEST_F(WindowsProgram, WithoutASettingTheSystemDefaultHolds) {
    // The system answers with its default then; the program must follow it.
    start(nullptr);
    int timeout = 0;
    SystemParametersInfoA(SPI_GETSCREENSAVETIMEOUT, 0, &timeout, 0);
    ASSERT_GT(timeout, 60) << "expected a default above a minute";
    const DWORD interval = static_cast<DWORD>(timeout) * 25 / 2;
    ASSERT_LT(interval, 6000u) << "too slow a default to watch here";
    const InputWatch watch = watchInput(std::chrono::milliseconds(interval * 3 + 500));
    report("no setting", watch);
    std::cout << "system default " << timeout << " s, interval " << interval << " ms" << std::endl;
    EXPECT_GE(watch.nudges, 3);
    EXPECT_NEAR(static_cast<double>(watch.medianGapMs), interval, 60.0);
    quit();
}

TEST_F(WindowsProgram, PauseStopsTheNudgesAndResumeBringsThemBack) {
    start("60");
    typeInto(program, "e\n");
    ASSERT_TRUE(waitForText(program, allowed, 20s));
    Sleep(100);  // a nudge already on its way may still land
    const InputWatch paused = watchInput(1500ms);
    report("paused", paused);
    EXPECT_EQ(paused.nudges, 0);

    typeInto(program, "d\n");
    ASSERT_TRUE(waitForText(program, allowed + heldOff, 20s));
    const InputWatch resumed = watchInput(1s);
    report("resumed", resumed);
    EXPECT_GE(resumed.nudges, 15);
    EXPECT_FALSE(paused.cursorMoved || resumed.cursorMoved);
    quit();
}

// --only-when-idle: Windows tells only the last input's time, read when a
// nudge is due. This process's SendInput stands for the user: while it moves
// the mouse every 75 ms no nudge comes; once it stops, the first comes one
// interval after its last move, and then one an interval.
TEST_F(WindowsProgram, OnlyWhenIdleNudgesNoneWhileTheUserWorks) {
    const std::string idleLine = "Nudges only once nobody has used the session for an interval.";
    start("600", L"--only-when-idle --interval 1s", withLine(heldOff, idleLine));
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    GetLastInputInfo(&info);
    DWORD seen = info.dwTime;
    std::vector<std::pair<DWORD, DWORD>> moves;  // the tick counts around each of the user's moves
    int nudges = 0;
    const auto end = std::chrono::steady_clock::now() + 3s;
    for (auto next = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() < end; Sleep(1)) {
        if (std::chrono::steady_clock::now() >= next) {
            INPUT move{};
            move.type = INPUT_MOUSE;
            move.mi.dx = moves.size() % 2 == 0 ? 1 : -1;
            move.mi.dwFlags = MOUSEEVENTF_MOVE;
            const DWORD before = GetTickCount();
            ASSERT_EQ(SendInput(1, &move, sizeof move), 1u);
            moves.emplace_back(before, GetTickCount());
            next += 75ms;
        }
        GetLastInputInfo(&info);
        if (info.dwTime != seen) {
            seen = info.dwTime;
            const bool users = std::any_of(moves.begin(), moves.end(), [&](const auto& m) {
                return seen + 2 >= m.first && seen <= m.second + 2;
            });
            nudges += users ? 0 : 1;
        }
    }
    const DWORD lastMove = moves.back().second;
    while (GetLastInputInfo(&info) && info.dwTime == seen && GetTickCount() - lastMove < 3000) {
        Sleep(1);
    }
    const DWORD firstNudgeAfter = info.dwTime - lastMove;
    const InputWatch gone = watchInput(2500ms);
    std::cout << "only when idle: " << nudges << " nudges in 3 s of " << moves.size()
              << " user moves; first nudge " << firstNudgeAfter << " ms after the last move; then " << gone.nudges
              << " nudges in 2.5 s, median period " << gone.medianGapMs << " ms" << std::endl;
    EXPECT_EQ(nudges, 0);
    EXPECT_GE(firstNudgeAfter, 950u) << "nudged before the user had been gone an interval";
    EXPECT_LE(firstNudgeAfter, 1200u);
    EXPECT_GE(gone.nudges, 2);
    EXPECT_LE(gone.largestGapMs, 1200u);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 20s), 0u);
}

TEST_F(WindowsProgram, StartAndQuitAtOnceRepeatedly) {
    const std::string seconds = "600";
    writeTimeoutSetting(&seconds);
    for (int round = 0; round < 100; ++round) {
        WindowsChild child = startProgram();
        if (child.process == nullptr) {
            releaseChild(child);  // its reader must not outlive it
            FAIL() << "not started, round " << round << ", error " << child.startError;
        }
        typeInto(child, "q\n");
        closeInput(child);
        ASSERT_EQ(waitForExit(child, 20s), 0u) << "round " << round;
        releaseChild(child);
        ASSERT_EQ(writtenSoFar(child), heldOff + quitting + cleanedUp) << "round " << round;
    }
}

TEST_F(WindowsProgram, EmptyInputExitsInOrderRepeatedly) {
    for (int round = 0; round < 25; ++round) {
        WindowsChild child = startProgram();
        if (child.process == nullptr) {
            releaseChild(child);  // its reader must not outlive it
            FAIL() << "not started, round " << round << ", error " << child.startError;
        }
        closeInput(child);
        ASSERT_EQ(waitForExit(child, 20s), 0u) << "round " << round;
        releaseChild(child);
        ASSERT_EQ(writtenSoFar(child), heldOff + quitting + cleanedUp) << "round " << round;
    }
}

}  // namespace
