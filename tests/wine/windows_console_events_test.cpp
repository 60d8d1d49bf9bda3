// keepawake.exe and the console's stop requests under Windows (here Wine):
// each run gets a console of its own, and console_ctrl joins it to press
// Ctrl+C or Ctrl+Break there. The standard streams stay on pipes.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <iostream>
#include <string>

#include "tests/support/screens.h"
#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;
using namespace screens;
using Clock = std::chrono::steady_clock;

// What console_ctrl answered: 0 once the event was sent, else the error.
DWORD press(const WindowsChild& program, const wchar_t* key) {
    return runHelper(CONSOLE_CTRL, std::to_wstring(program.pid) + L" " + key);
}

// The worker's next nudge. The first one tells that the program has taken
// over the stop requests: it does so before it starts the worker.
bool waitForNudge(std::chrono::milliseconds limit) {
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    GetLastInputInfo(&info);
    const DWORD before = info.dwTime;
    for (const auto end = Clock::now() + limit; Clock::now() < end; Sleep(5)) {
        GetLastInputInfo(&info);
        if (info.dwTime != before) {
            return true;
        }
    }
    return false;
}

constexpr DWORD ownConsole = CREATE_NEW_CONSOLE;
constexpr DWORD controlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

class ConsoleEvents : public testing::Test {
protected:
    void TearDown() override { releaseChild(program); }

    void start(const std::wstring& arguments, DWORD flags = ownConsole, bool drain = true) {
        program = startProgram(arguments, flags, drain);
        ASSERT_NE(program.process, nullptr) << "keepawake.exe did not start";
        ASSERT_TRUE(waitForNudge(20s)) << "no nudge: " << writtenSoFar(program);
    }

    // The output as the test saw it, and the exit code, for the log.
    std::string finish(const char* what, DWORD status) {
        releaseChild(program);
        const std::string output = writtenSoFar(program);
        std::cout << what << ": exit code 0x" << std::hex << status << std::dec << ", output:\n"
                  << output << "[end]" << std::endl;
        return output;
    }

    WindowsChild program;
};

TEST_F(ConsoleEvents, CtrlCEndsAnOptionRunInOrder) {
    const struct {
        const wchar_t* arguments;
        std::string expected;  // the whole output, or its end after the menu
        bool menu;
    } cases[] = {
        {L"--no-menu -i 100ms", quitting + cleanedUp, false},
        {L"--for 1h -i 100ms", quitting + cleanedUp, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "keepawake " << std::string(c.arguments, c.arguments + wcslen(c.arguments)));
        start(c.arguments);
        if (c.menu) {
            ASSERT_TRUE(waitForText(program, "Quits by itself at ", 20s)) << writtenSoFar(program);
        }
        ASSERT_EQ(press(program, L"c"), 0u);
        const DWORD status = waitForExit(program, 20s);
        const std::string output = finish("Ctrl+C", status);
        EXPECT_EQ(status, 0u);
        if (c.menu) {
            EXPECT_EQ(output.rfind("Screen saver is currently disabled\nQuits by itself at ", 0), 0u) << output;
            ASSERT_GE(output.size(), c.expected.size());
            EXPECT_EQ(output.substr(output.size() - c.expected.size()), c.expected);
        } else {
            EXPECT_EQ(output, c.expected);
        }
        EXPECT_FALSE(waitForNudge(300ms)) << "a nudge after the exit";
    }
}

TEST_F(ConsoleEvents, CtrlBreakToItsProcessGroupEndsTheRunInOrder) {
    start(L"--no-menu -i 100ms", ownConsole | CREATE_NEW_PROCESS_GROUP);
    if (const DWORD error = press(program, L"break"); error != 0) {
        std::cout << "console_ctrl break: error " << error << std::endl;
        GTEST_SKIP() << "this system does not generate Ctrl+Break for a process group (GenerateConsoleCtrlEvent "
                        "error "
                     << error << "; Wine 8's server answers STATUS_NOT_IMPLEMENTED for it)";
    }
    const DWORD status = waitForExit(program, 20s);
    EXPECT_EQ(finish("Ctrl+Break", status), quitting + cleanedUp);
    EXPECT_EQ(status, 0u);
}

TEST_F(ConsoleEvents, ASecondCtrlCEndsAStuckShutdownAtOnce) {
    // Nobody reads its output: redrawing the menu for each key soon blocks,
    // and with it the orderly end, which writes too.
    start(L"-i 1s", ownConsole, false);
    typeInto(program, std::string(400, 'x'));
    Sleep(3000);
    ASSERT_EQ(WaitForSingleObject(program.process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(press(program, L"c"), 0u);
    Sleep(1000);
    if (WaitForSingleObject(program.process, 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(program.process, &code);
        FAIL() << "the orderly end finished (exit code " << code << ") though its output cannot be written";
    }
    const auto sent = Clock::now();
    ASSERT_EQ(press(program, L"c"), 0u);
    const DWORD status = waitForExit(program, 5s);
    std::cout << "second Ctrl+C: exit code 0x" << std::hex << status << std::dec << " after "
              << std::chrono::duration<double>(Clock::now() - sent).count() << " s" << std::endl;
    EXPECT_EQ(status, controlCExit);
}

TEST_F(ConsoleEvents, CtrlCGoesToTheCommandWhoseStatusComesBack) {
    start(L"-i 100ms -- \"" + windowsPath(ARGUMENT_ECHO) + L"\" wait-ctrl-c 20000");
    ASSERT_TRUE(waitForText(program, "waiting\n", 20s)) << writtenSoFar(program);
    ASSERT_EQ(press(program, L"c"), 0u);
    const DWORD status = waitForExit(program, 20s);
    EXPECT_EQ(finish("Ctrl+C with a command", status), "waiting\ngot Ctrl+C\n")
        << "the command's lines alone: nothing of keepawake's own";
    EXPECT_EQ(status, 50u) << "the command's status, after it handled the Ctrl+C";
}

TEST_F(ConsoleEvents, WithoutArgumentsCtrlCEndsItAtOnce) {
    start(L"");
    ASSERT_TRUE(waitForText(program, heldOff, 20s)) << writtenSoFar(program);
    ASSERT_EQ(press(program, L"c"), 0u);
    const DWORD status = waitForExit(program, 5s);
    EXPECT_EQ(finish("Ctrl+C without arguments", status), heldOff) << "nothing after the menu: no orderly end";
    // The system's own handler ends it: Windows with STATUS_CONTROL_C_EXIT,
    // Wine 8 with 0.
    EXPECT_TRUE(status == controlCExit || status == 0) << status;
}

TEST_F(ConsoleEvents, ACtrlCBeforeTheCommandStartsIsNotTakenForItsEnd) {
    // A long search for the command holds its start back: the Ctrl+C lands
    // while keepawake has no command yet.
    const std::wstring echo = windowsPath(ARGUMENT_ECHO);
    std::wstring path;
    while (path.size() < 30000) {
        path += L"Z:\\no-such-folder\\" + std::to_wstring(path.size()) + L";";
    }
    path += echo.substr(0, echo.find_last_of(L'\\'));
    std::wstring extensions;
    for (int i = 0; i < 40; ++i) {
        extensions += L".X" + std::to_wstring(i) + L";";
    }
    extensions += L".EXE";
    wchar_t savedPath[32768] = {};
    wchar_t savedExtensions[4096] = {};
    GetEnvironmentVariableW(L"PATH", savedPath, 32768);
    GetEnvironmentVariableW(L"PATHEXT", savedExtensions, 4096);
    wchar_t savedDirectory[MAX_PATH] = {};
    wchar_t temporary[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, savedDirectory);
    GetTempPathW(MAX_PATH, temporary);
    SetCurrentDirectoryW(temporary);  // the search starts there, and finds nothing
    SetEnvironmentVariableW(L"PATH", path.c_str());
    SetEnvironmentVariableW(L"PATHEXT", extensions.c_str());
    // The command starts before the first nudge, so the machine watch's
    // window tells instead that the stop requests are caught: it is made
    // after that and before the command is looked for.
    startWineDesktop();
    program = startProgram(L"--only-on-ac -i 100ms -- argument_echo wait-ctrl-c 3000", ownConsole, true);
    SetEnvironmentVariableW(L"PATH", savedPath);
    SetEnvironmentVariableW(L"PATHEXT", savedExtensions);
    SetCurrentDirectoryW(savedDirectory);
    ASSERT_NE(program.process, nullptr) << "keepawake.exe did not start";
    bool ready = false;
    for (const auto end = Clock::now() + 5s; !ready && Clock::now() < end; Sleep(2)) {
        ready = hasMachineWindow(program);
    }
    if (!ready) {
        // Wine shows no window of a process on a console of its own to
        // FindWindowEx, and the first nudge now comes after the command has
        // started: nothing tells from outside that the stop requests are
        // caught while the command is still being looked for.
        GTEST_SKIP() << "not run: no sign under Wine that the Ctrl+C could land before the command starts ("
                     << writtenSoFar(program) << ")";
    }

    ASSERT_EQ(press(program, L"c"), 0u);
    ASSERT_EQ(writtenSoFar(program).find("waiting"), std::string::npos) << "the command started too soon to tell";
    const DWORD status = waitForExit(program, 20s);
    EXPECT_EQ(finish("Ctrl+C before the command", status), "waiting\n") << "the command runs its course";
    EXPECT_EQ(status, 1u) << "the command's own status: no Ctrl+C reached it";
}

}  // namespace
