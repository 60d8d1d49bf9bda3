// The control options against real keepawake.exe copies under Windows (here
// Wine): the round trip, two copies at once, a pipe no one else can serve,
// and bad clients that never hold up the menu.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <iostream>
#include <regex>
#include <string>
#include <thread>

#include "tests/support/screens.h"
#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string shutdownLines = screens::quitting + screens::cleanedUp;

struct Asked {
    DWORD status;
    std::string output;  // standard output and error together
};

Asked control(const wchar_t* option) {
    WindowsChild client = startProgram(option);
    Asked asked{waitForExit(client, 20s), ""};
    releaseChild(client);
    asked.output = writtenSoFar(client);
    return asked;
}

std::wstring pipeOf(DWORD pid) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    char info[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, info, sizeof info, &size);
    CloseHandle(token);
    LPWSTR sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &sid);
    DWORD session = 0;
    ProcessIdToSessionId(pid, &session);
    std::wstring name = L"\\\\.\\pipe\\keepawake-control-" + std::wstring(sid) + L"-" + std::to_wstring(session) +
                        L"-" + std::to_wstring(pid);
    LocalFree(sid);
    return name;
}

// Started, and answering through its pipe.
WindowsChild startCopy(const std::wstring& arguments) {
    WindowsChild copy = startProgram(arguments);
    const std::wstring name = pipeOf(GetProcessId(copy.process));
    for (int i = 0; i < 200 && !WaitNamedPipeW(name.c_str(), 0) && GetLastError() == ERROR_FILE_NOT_FOUND; ++i) {
        std::this_thread::sleep_for(25ms);
    }
    return copy;
}

bool isStatusLine(const std::string& line, DWORD pid, const std::string& state) {
    return std::regex_search(line, std::regex("(^|\n)" + std::to_string(pid) + " " + state +
                                              " since [0-2][0-9]:[0-5][0-9]:[0-5][0-9]"));
}

TEST(WindowsControl, StatusPauseResumeAndStopRoundTrip) {
    Asked none = control(L"--status");
    std::cout << "no copy: --status " << none.status << ", " << none.output;
    EXPECT_EQ(none.status, 3u);
    EXPECT_EQ(none.output, "keepawake: no running copy of keepawake\n");

    WindowsChild copy = startCopy(L"-n -i 100ms");
    const DWORD pid = GetProcessId(copy.process);
    Asked status = control(L"--status");
    std::cout << "awake: --status " << status.status << ": " << status.output;
    EXPECT_EQ(status.status, 0u);
    EXPECT_TRUE(isStatusLine(status.output, pid, "awake")) << status.output;

    EXPECT_EQ(control(L"--pause").status, 0u);
    status = control(L"--status");
    std::cout << "paused: --status " << status.status << ": " << status.output;
    EXPECT_EQ(status.status, 1u);
    EXPECT_TRUE(isStatusLine(status.output, pid, "paused")) << status.output;

    EXPECT_EQ(control(L"--resume").status, 0u);
    EXPECT_EQ(control(L"--status").status, 0u);

    const auto asked = Clock::now();
    EXPECT_EQ(control(L"--stop").status, 0u);
    const DWORD exited = waitForExit(copy, 10s);
    std::cout << "stop: the copy exited " << exited << " after "
              << std::chrono::duration<double>(Clock::now() - asked).count() << " s" << std::endl;
    releaseChild(copy);
    EXPECT_EQ(exited, 0u);
    EXPECT_EQ(writtenSoFar(copy), shutdownLines);
}

TEST(WindowsControl, AStopEndsTheCommandACopyRuns) {
    WindowsChild copy = startCopy(L"-i 100ms -- \"" + windowsPath(ARGUMENT_ECHO) + L"\" sleep 30000");
    const Asked status = control(L"--status");
    std::cout << "command copy: --status " << status.status << ": " << status.output;
    EXPECT_EQ(status.status, 0u);
    EXPECT_NE(status.output.find(", runs "), std::string::npos) << status.output;
    const auto asked = Clock::now();
    EXPECT_EQ(control(L"--stop").status, 0u);
    const DWORD exited = waitForExit(copy, 10s);
    std::cout << "command copy: exited " << exited << " after "
              << std::chrono::duration<double>(Clock::now() - asked).count() << " s" << std::endl;
    releaseChild(copy);
    EXPECT_EQ(exited, 1u) << "the command's status, ended in its stead";
    EXPECT_EQ(writtenSoFar(copy), "") << "nothing of our own beside a command";
}

TEST(WindowsControl, TwoCopiesAreBothListedAndPaused) {
    WindowsChild first = startCopy(L"-n -i 100ms");
    WindowsChild second = startCopy(L"-n --for 1h -i 100ms");
    const DWORD a = GetProcessId(first.process);
    const DWORD b = GetProcessId(second.process);
    Asked status = control(L"--status");
    std::cout << "two copies: --status " << status.status << ":\n" << status.output;
    EXPECT_EQ(status.status, 0u);
    EXPECT_TRUE(isStatusLine(status.output, a, "awake")) << status.output;
    EXPECT_TRUE(isStatusLine(status.output, b, "awake")) << status.output;
    EXPECT_NE(status.output.find(", quits at "), std::string::npos) << status.output;

    EXPECT_EQ(control(L"--toggle").status, 0u);
    status = control(L"--status");
    std::cout << "both toggled: --status " << status.status << ":\n" << status.output;
    EXPECT_EQ(status.status, 1u);
    EXPECT_TRUE(isStatusLine(status.output, a, "paused")) << status.output;
    EXPECT_TRUE(isStatusLine(status.output, b, "paused")) << status.output;

    // No one else can serve a copy's pipe: it was made the first and only instance.
    const HANDLE squatter = CreateNamedPipeW(pipeOf(a).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 512, 512, 0,
                                             nullptr);
    const DWORD squatError = GetLastError();
    std::cout << "second server of a copy's pipe: error " << squatError << std::endl;
    EXPECT_EQ(squatter, INVALID_HANDLE_VALUE);
    if (squatter != INVALID_HANDLE_VALUE) {
        CloseHandle(squatter);
    }

    EXPECT_EQ(control(L"--stop").status, 0u);
    EXPECT_EQ(waitForExit(first, 10s), 0u);
    EXPECT_EQ(waitForExit(second, 10s), 0u);
    releaseChild(first);
    releaseChild(second);
    EXPECT_EQ(writtenSoFar(first), shutdownLines);
    EXPECT_EQ(writtenSoFar(second), shutdownLines);
}

HANDLE openPipe(const std::wstring& name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

TEST(WindowsControl, BadClientsNeverHoldUpTheMenu) {
    WindowsChild copy = startCopy(L"-i 100ms");
    ASSERT_TRUE(waitForText(copy, screens::heldOff, 10s));
    const std::wstring name = pipeOf(GetProcessId(copy.process));

    // Random bytes: an error line, then the end.
    HANDLE noise = openPipe(name);
    ASSERT_NE(noise, INVALID_HANDLE_VALUE) << GetLastError();
    const char bytes[] = "\x01\xfe\x7f garbage \x00\x02\n";
    DWORD done = 0;
    WriteFile(noise, bytes, sizeof bytes - 1, &done, nullptr);
    char reply[600] = {};
    ReadFile(noise, reply, sizeof reply - 1, &done, nullptr);
    CloseHandle(noise);
    std::cout << "random bytes got: " << reply;
    EXPECT_EQ(std::string(reply).rfind("keepawake-control 1 error ", 0), 0u) << reply;

    // One that asks and leaves before the reply.
    HANDLE leaver = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 40 && leaver == INVALID_HANDLE_VALUE; ++i) {
        WaitNamedPipeW(name.c_str(), 100);
        leaver = openPipe(name);
    }
    ASSERT_NE(leaver, INVALID_HANDLE_VALUE) << GetLastError();
    const char request[] = "keepawake-control 1 status\n";
    WriteFile(leaver, request, sizeof request - 1, &done, nullptr);
    CloseHandle(leaver);

    // A silent one holds the pipe, and the menu answers at once meanwhile.
    HANDLE silent = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 40 && silent == INVALID_HANDLE_VALUE; ++i) {
        WaitNamedPipeW(name.c_str(), 100);
        silent = openPipe(name);
    }
    ASSERT_NE(silent, INVALID_HANDLE_VALUE) << GetLastError();
    const auto typed = Clock::now();
    typeInto(copy, "e\n");
    EXPECT_TRUE(waitForText(copy, screens::allowed, 2s));
    const double pauseMs = std::chrono::duration<double, std::milli>(Clock::now() - typed).count();
    // Its second up, the copy lets it go: the read ends.
    const auto waited = Clock::now();
    const BOOL readSomething = ReadFile(silent, reply, sizeof reply, &done, nullptr);
    const double closedAfter = std::chrono::duration<double>(Clock::now() - waited).count();
    CloseHandle(silent);
    const Asked status = control(L"--status");
    std::cout << "bad clients: \"e\" shown after " << pauseMs << " ms; silent one let go after " << closedAfter
              << " s more; --status then " << status.status << ": " << status.output;
    EXPECT_LE(pauseMs, 250) << "typed input passes Wine's console pipe and the reader thread";
    EXPECT_FALSE(readSomething);
    EXPECT_LE(closedAfter, 1.5);
    EXPECT_EQ(status.status, 1u) << "paused by its \"e\"";

    typeInto(copy, "q\n");
    EXPECT_EQ(waitForExit(copy, 10s), 0u);
    releaseChild(copy);
}

}  // namespace
