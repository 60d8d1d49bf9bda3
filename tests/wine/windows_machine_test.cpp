// keepawake.exe following the machine and keeping to the clock, under Wine:
// Wine says "mains power, no battery" and never sends a power or lock change,
// so what can be shown is the start in that state, the nudges, the user's own
// pause, the one line when the lock cannot be watched, and the limits ending
// the run through the waitable timers.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <string>

#include "tests/support/screens.h"
#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;
using namespace screens;
using Clock = std::chrono::steady_clock;

const std::string shutdownLines = quitting + cleanedUp;

// The menu's screen with the "Quits by itself" line.
std::string heldOffQuitting(const std::string& when) {
    std::string screen = heldOff;
    return screen.insert(screen.find('\n') + 1, "Quits by itself at " + when + ".\n");
}

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class WindowsMachine : public testing::Test {
protected:
    void SetUp() override {
        startWineDesktop();
        const std::string seconds = "60";  // a nudge every 30 ms
        writeTimeoutSetting(&seconds);
    }
    void TearDown() override { releaseChild(program); }

    // Types the key and returns how long the screen took to follow.
    long long answerTo(const char* key, const std::string& screensSoFar) {
        const auto typed = Clock::now();
        typeInto(program, key);
        EXPECT_TRUE(waitForText(program, screensSoFar, 10s)) << writtenSoFar(program);
        return millisecondsSince(typed);
    }

    KeptTimeoutSetting setting;  // put back after the program is released
    WindowsChild program;
};

TEST_F(WindowsMachine, BothOptionsStartOnMainsUnlockedNudgeAndQuitInOrder) {
    SYSTEM_POWER_STATUS power{};
    ASSERT_TRUE(GetSystemPowerStatus(&power));
    std::cout << "Wine's power status: ACLineStatus " << int(power.ACLineStatus) << ", BatteryFlag "
              << int(power.BatteryFlag) << std::endl;

    program = startProgram(L"--only-on-ac --pause-when-locked");
    ASSERT_NE(program.process, nullptr);
    ASSERT_TRUE(waitForText(program, heldOff, 20s)) << writtenSoFar(program);
    EXPECT_TRUE(hasMachineWindow(program)) << "the changes come to a message-only window";
    const InputWatch running = watchInput(1s);

    // The user's pause and resume go on working beside the machine's.
    const long long pauseMs = answerTo("e\n", heldOff + allowed);
    Sleep(100);  // a nudge already on its way may still land
    const InputWatch paused = watchInput(1s);
    const long long resumeMs = answerTo("d\n", heldOff + allowed + heldOff);
    const InputWatch resumed = watchInput(1s);
    const auto quitAsked = Clock::now();
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0u);
    const long long quitMs = millisecondsSince(quitAsked);
    releaseChild(program);

    std::cout << "--only-on-ac --pause-when-locked: " << running.nudges << " nudges in 1 s running, "
              << paused.nudges << " paused, " << resumed.nudges << " resumed; \"e\" answered in " << pauseMs
              << " ms, \"d\" in " << resumeMs << " ms, \"q\" exited in " << quitMs << " ms" << std::endl;
    EXPECT_GE(running.nudges, 15);
    EXPECT_EQ(paused.nudges, 0);
    EXPECT_GE(resumed.nudges, 15);
    EXPECT_FALSE(running.cursorMoved || paused.cursorMoved || resumed.cursorMoved);
    EXPECT_LT(pauseMs, 1000);
    EXPECT_LT(resumeMs, 1000);
    EXPECT_LT(quitMs, 1000);
    // Exactly the screens: no reason line, no "cannot tell" line (standard
    // error comes through the same pipe), no redraw for the first state.
    EXPECT_EQ(writtenSoFar(program), heldOff + allowed + heldOff + shutdownLines);
}

TEST_F(WindowsMachine, WithoutOptionsThereIsNoWindow) {
    program = startProgram();
    ASSERT_NE(program.process, nullptr);
    ASSERT_TRUE(waitForText(program, heldOff, 20s)) << writtenSoFar(program);
    EXPECT_FALSE(hasMachineWindow(program));
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0u);
    releaseChild(program);
    EXPECT_EQ(writtenSoFar(program), heldOff + shutdownLines);
}

// Wine leaves out a DLL that the program's own overrides disable, as if it
// were missing; the environment variable reaches only a first process.
class WithoutWtsapi : public WindowsMachine {
protected:
    static constexpr const wchar_t* key = L"Software\\Wine\\AppDefaults\\keepawake.exe\\DllOverrides";
    void SetUp() override {
        WindowsMachine::SetUp();
        const wchar_t disabled[] = L"disabled";
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, L"wtsapi32", REG_SZ, disabled, sizeof disabled),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegDeleteKeyW(HKEY_CURRENT_USER, key);
        WindowsMachine::TearDown();
    }
};

TEST_F(WithoutWtsapi, ALockThatCannotBeWatchedIsSaidInOneLineAndKeptAwakeAsIfUnlocked) {
    program = startProgram(L"--only-on-ac --pause-when-locked");
    ASSERT_NE(program.process, nullptr);

    const std::string line =
        "keepawake: cannot tell whether the session is locked (loading wtsapi32.dll failed, error 126): "
        "keeping awake as if unlocked.\n";
    ASSERT_TRUE(waitForText(program, line + heldOff, 20s)) << writtenSoFar(program);
    const InputWatch running = watchInput(1s);
    std::cout << "without wtsapi32.dll: " << running.nudges << " nudges in 1 s; said: " << line;
    EXPECT_GE(running.nudges, 15);
    typeInto(program, "q\n");
    EXPECT_EQ(waitForExit(program, 10s), 0u);
    releaseChild(program);
    EXPECT_EQ(writtenSoFar(program), line + heldOff + shutdownLines);
}

// Each limit ends the run at its time, with and without the machine's
// window in the wait, and with the menu.
TEST_F(WindowsMachine, LimitsEndTheRunOnTimeThroughTheTimers) {
    struct Case {
        const char* name;
        std::wstring arguments;  // "%T": a time of day three seconds or less ahead
        bool menu;
    };
    const Case cases[] = {
        {"--for 2s", L"-n --for 2s", false},
        {"--for 2s with the window", L"-n --for 2s --only-on-ac --pause-when-locked", false},
        {"--until", L"-n --until %T", false},
        {"--until with the window", L"-n --until %T --pause-when-locked", false},
        {"--until in the menu", L"--until %T --only-on-ac", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The next whole second, then two more: the clock must show it.
        const auto target = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) + 2s;
        const std::time_t targetSeconds = std::chrono::system_clock::to_time_t(target);
        char text[16] = {};
        std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&targetSeconds));
        std::wstring arguments = c.arguments;
        const bool until = arguments.find(L"%T") != std::wstring::npos;
        if (until) {
            arguments.replace(arguments.find(L"%T"), 2, std::wstring(text, text + 8));
        }

        const auto started = Clock::now();
        program = startProgram(arguments);
        ASSERT_NE(program.process, nullptr);
        const DWORD status = waitForExit(program, 15s);
        const long long tookMs = millisecondsSince(started);
        const auto ended = std::chrono::system_clock::now();
        releaseChild(program);
        const std::string output = writtenSoFar(program);

        EXPECT_EQ(status, 0u);
        if (until) {
            const long long lateMs = std::chrono::duration_cast<std::chrono::milliseconds>(ended - target).count();
            std::cout << c.name << ": " << text << " came, ended " << lateMs << " ms after it (run took " << tookMs
                      << " ms)" << std::endl;
            EXPECT_GE(lateMs, -20) << "ended before the clock showed " << text;
            EXPECT_LE(lateMs, 1000);
        } else {
            std::cout << c.name << ": ended after " << tookMs << " ms" << std::endl;
            EXPECT_GE(tookMs, 2000);
            EXPECT_LE(tookMs, 3500);
        }
        if (c.menu) {
            EXPECT_EQ(output, heldOffQuitting(text) + shutdownLines);
        } else {
            EXPECT_EQ(output, shutdownLines);
        }
    }
}

TEST_F(WindowsMachine, ALimitInThePastOrFarAheadIsTakenAsAsked) {
    // A time of day just gone is tomorrow's: the run must not end at once.
    const auto past = std::chrono::system_clock::now() - 2s;
    const std::time_t pastSeconds = std::chrono::system_clock::to_time_t(past);
    char text[16] = {};
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&pastSeconds));
    for (const std::wstring& arguments :
         {L"-n --until " + std::wstring(text, text + 8), std::wstring(L"-n --for 9999d")}) {
        program = startProgram(arguments + L" --only-on-ac");
        ASSERT_NE(program.process, nullptr);
        EXPECT_EQ(waitForExit(program, 2500ms), timedOut) << "ended at once: " << writtenSoFar(program);
        releaseChild(program);
        EXPECT_EQ(writtenSoFar(program), "");
    }
}

}  // namespace
