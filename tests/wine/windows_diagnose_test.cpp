// keepawake --diagnose under Windows (here Wine): the registry's timeout, the
// screen-saver policy and the machine inactivity limit set with reg add in
// the test's own prefix, and what the power functions return there.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;

const std::wstring userPolicy = L"\"HKCU\\Software\\Policies\\Microsoft\\Windows\\Control Panel\\Desktop\"";
const std::wstring machinePolicy = L"\"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\"";

// reg.exe, as "wine reg" runs it; true when it succeeded.
bool reg(const std::wstring& arguments) {
    std::wstring line = L"reg.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &started)) {
        return false;
    }
    WaitForSingleObject(started.hProcess, 20000);
    DWORD code = 1;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return code == 0;
}

bool hasLine(const std::string& output, const std::string& line) {
    return output.find("\n" + line) != std::string::npos;
}

}  // namespace

TEST(WindowsDiagnose, RegistryTimeoutPoliciesAndPowerPlan) {
    const std::string saved = readTimeoutSetting();
    const std::string timeout = "600";
    writeTimeoutSetting(&timeout);
    ASSERT_TRUE(reg(L"add " + userPolicy + L" /v ScreenSaveTimeOut /t REG_SZ /d 120 /f"));
    ASSERT_TRUE(reg(L"add " + userPolicy + L" /v ScreenSaverIsSecure /t REG_SZ /d 1 /f"));
    ASSERT_TRUE(reg(L"add " + machinePolicy + L" /v InactivityTimeoutSecs /t REG_DWORD /d 300 /f"));

    WindowsChild child = startProgram(L"--diagnose");
    const DWORD status = waitForExit(child, 20s);
    releaseChild(child);
    const std::string output = writtenSoFar(child);

    reg(L"delete " + userPolicy + L" /v ScreenSaveTimeOut /f");
    reg(L"delete " + userPolicy + L" /v ScreenSaverIsSecure /f");
    reg(L"delete " + machinePolicy + L" /v InactivityTimeoutSecs /f");
    writeTimeoutSetting(saved.empty() ? nullptr : &saved);

    EXPECT_EQ(status, 0u) << output;
    const std::string policy = "(HKCU\\Software\\Policies\\Microsoft\\Windows\\Control Panel\\Desktop ";
    for (const std::string& line : {
             std::string("  kept awake by: SendInput relative moves, there now"),
             std::string("  screen-saver timeout: 600 s (SPI_GETSCREENSAVETIMEOUT); held off by nudges"),
             // The policy's timeout is the one Windows takes, and the shorter.
             std::string("  nudge interval: 1500 ms (one eightieth of the screen-saver policy's 2 min, "),
             "  the screen-saver policy (starts the screen saver): 120 s " + policy +
                 "ScreenSaveTimeOut); held off by nudges",
             "  policy: screen saver locks: 1 (yes) " + policy + "ScreenSaverIsSecure)",
             "  policy: screen saver on: not set " + policy + "ScreenSaveActive)",
             std::string("  the machine inactivity limit (locks the session): 300 s (HKLM\\Software\\Microsoft\\Windows"
                         "\\CurrentVersion\\Policies\\System InactivityTimeoutSecs); held off by nudges"),
             std::string("  remote session: no (GetSystemMetrics(SM_REMOTESESSION))"),
             std::string("  one nudge: counted: the last input moved on by "),
         }) {
        EXPECT_TRUE(hasLine(output, line)) << "missing: " << line << "\n" << output;
    }
    // Each timer once, though the diagnosis and the interval both read it.
    for (const char* value : {"ScreenSaveTimeOut", "InactivityTimeoutSecs"}) {
        std::istringstream listed(output);
        int lines = 0;
        for (std::string line; std::getline(listed, line);) {
            lines += line.rfind("  ", 0) == 0 && line.find(value) != std::string::npos;
        }
        EXPECT_EQ(lines, 1) << value << "\n" << output;
    }
    // The first policy is worth knowing: nudges hold it off only while
    // keepawake runs.
    EXPECT_NE(output.find("\nkeepawake can keep this screen awake; worth knowing: the screen-saver policy (starts the "
                          "screen saver) is 120 s"),
              std::string::npos)
        << output;

    // The power plan: each of its timeouts, or why it cannot be read.
    std::istringstream lines(output);
    std::string line;
    int powerLines = 0;
    int unreadable = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("  the power plan", 0) == 0) {
            ++powerLines;
            unreadable += line.find("cannot be read here (PowerGetActiveScheme returned") != std::string::npos;
            std::cout << "what the power functions return here:" << line << "\n";
        }
    }
    EXPECT_EQ(powerLines, 3) << output;
    EXPECT_TRUE(unreadable == 0 || unreadable == 3) << output;
}

// The machine inactivity limit, shorter than the screen saver, paces a
// running copy, and a new one set while it runs paces it within 2 s.
TEST(WindowsDiagnose, TheInactivityLimitPacesARunningCopy) {
    KeptTimeoutSetting setting;
    const std::string timeout = "600";
    writeTimeoutSetting(&timeout);
    ASSERT_TRUE(reg(L"add " + machinePolicy + L" /v InactivityTimeoutSecs /t REG_DWORD /d 120 /f"));
    auto statusSays = [](const std::string& words, std::chrono::milliseconds limit) {
        std::string said;
        for (const auto end = std::chrono::steady_clock::now() + limit;;) {
            WindowsChild client = startProgram(L"--status");
            waitForExit(client, 20s);
            releaseChild(client);
            said = writtenSoFar(client);
            if (said.find(words) != std::string::npos || std::chrono::steady_clock::now() > end) {
                return said;
            }
            Sleep(100);
        }
    };

    WindowsChild copy = startProgram(L"-n");
    const std::string first =
        statusSays("by zero moves every 1500 ms, for the machine inactivity limit's 2 min\n", 10s);
    const bool set = reg(L"add " + machinePolicy + L" /v InactivityTimeoutSecs /t REG_DWORD /d 240 /f");
    const auto changed = std::chrono::steady_clock::now();
    const std::string second =
        statusSays("by zero moves every 3000 ms, for the machine inactivity limit's 4 min\n", 2s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - changed).count();
    std::cout << "before: " << first << "after " << seconds << " s: " << second;

    reg(L"delete " + machinePolicy + L" /v InactivityTimeoutSecs /f");
    WindowsChild stop = startProgram(L"--stop");
    waitForExit(stop, 20s);
    releaseChild(stop);
    EXPECT_EQ(waitForExit(copy, 10s), 0u);
    releaseChild(copy);

    EXPECT_NE(first.find("by zero moves every 1500 ms, for the machine inactivity limit's 2 min\n"), std::string::npos)
        << first;
    EXPECT_TRUE(set);
    EXPECT_NE(second.find("by zero moves every 3000 ms, for the machine inactivity limit's 4 min\n"), std::string::npos)
        << second;
}
