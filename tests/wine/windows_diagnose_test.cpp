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
             std::string("  nudge interval: 7500 ms"),
             "  policy: screen-saver timeout: 120 s " + policy + "ScreenSaveTimeOut); held off by nudges",
             "  policy: screen saver locks: 1 (yes) " + policy + "ScreenSaverIsSecure)",
             "  policy: screen saver on: not set " + policy + "ScreenSaveActive)",
             std::string("  machine inactivity limit (locks): 300 s (HKLM\\Software\\Microsoft\\Windows\\CurrentVersion"
                         "\\Policies\\System InactivityTimeoutSecs); held off by nudges"),
             std::string("  remote session: no (GetSystemMetrics(SM_REMOTESESSION))"),
             std::string("  one nudge: counted: the last input moved on by "),
         }) {
        EXPECT_TRUE(hasLine(output, line)) << "missing: " << line << "\n" << output;
    }
    // The first policy is worth knowing: nudges hold it off only while
    // keepawake runs.
    EXPECT_NE(output.find("\nkeepawake can keep this screen awake; worth knowing: a policy sets the screen saver to "
                          "start after 120 s"),
              std::string::npos)
        << output;

    // The power plan: either all six timeouts or one line saying why none.
    std::istringstream lines(output);
    std::string line;
    int powerLines = 0;
    bool unreadable = false;
    while (std::getline(lines, line)) {
        if (line.rfind("  power plan", 0) == 0) {
            ++powerLines;
            unreadable = unreadable || line.find("cannot be read here (PowerGetActiveScheme returned") != std::string::npos;
            std::cout << "what the power functions return here:" << line << "\n";
        }
    }
    EXPECT_TRUE(unreadable ? powerLines == 1 : powerLines == 6) << output;
}
