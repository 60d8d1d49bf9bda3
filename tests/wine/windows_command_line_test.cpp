// keepawake.exe's command line under Windows (here Wine): the limits end it in
// order, a command's arguments reach it exactly and its status comes back,
// and bad usage is refused before anything starts.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>

#include "tests/support/screens.h"
#include "tests/wine/windows_child.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Finished {
    DWORD status;
    std::string output;  // standard output and error together
    double seconds;
};

Finished run(const std::wstring& arguments, std::chrono::milliseconds limit = 30s) {
    const auto started = Clock::now();
    WindowsChild program = startProgram(arguments);
    Finished result{waitForExit(program, limit), "", 0};
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    releaseChild(program);
    result.output = writtenSoFar(program);
    EXPECT_EQ(result.output.find("did not count"), std::string::npos) << "Wine counts the nudges: " << result.output;
    return result;
}

const std::string shutdownLines = screens::quitting + screens::cleanedUp;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(WindowsCommandLine, LimitsEndTheRunInOrder) {
    Finished ran = run(L"--for 2s --interval 100ms", 30s);
    std::cout << "--for 2s: status " << ran.status << " after " << ran.seconds << " s" << std::endl;
    EXPECT_EQ(ran.status, 0u);
    EXPECT_GE(ran.seconds, 1.9);
    EXPECT_NE(ran.output.find("Quits by itself at "), std::string::npos) << ran.output;
    EXPECT_TRUE(endsWith(ran.output, shutdownLines)) << ran.output;

    // A process of our own that ends after two seconds.
    std::wstring line = L"\"" + windowsPath(ARGUMENT_ECHO) + L"\" sleep 2000";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION sleeper{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &sleeper));
    ran = run(L"-n -w " + std::to_wstring(sleeper.dwProcessId), 30s);
    std::cout << "--while-pid: status " << ran.status << " after " << ran.seconds << " s" << std::endl;
    EXPECT_EQ(ran.status, 0u);
    EXPECT_EQ(ran.output, shutdownLines);
    EXPECT_EQ(WaitForSingleObject(sleeper.hProcess, 0), WAIT_OBJECT_0) << "ended before the sleeper";
    CloseHandle(sleeper.hThread);
    CloseHandle(sleeper.hProcess);
}

TEST(WindowsCommandLine, ACommandGetsItsArgumentsExactlyAndGivesItsStatus) {
    // Spaces, quotes, backslashes before a quote and at the end, an empty
    // argument, and letters beyond ASCII.
    const std::wstring words[] = {L"plain", L"two words", L"say \"hi\"", L"C:\\dir\\", L"a\\\\\"b",
                                  L"", L"gr\u00fc\u00dfe \u65e5\u672c"};
    const char* expected =
        "[plain]\n[two words]\n[say \"hi\"]\n[C:\\dir\\]\n[a\\\\\"b]\n[]\n[gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac]\n";
    // Quoted here the way CommandLineToArgvW reads them back.
    const std::wstring quoted =
        L"plain \"two words\" \"say \\\"hi\\\"\" \"C:\\dir\\\\\" \"a\\\\\\\\\\\"b\" \"\" \"gr\u00fc\u00dfe \u65e5\u672c\"";
    const Finished ran = run(L"-i 1s -- \"" + windowsPath(ARGUMENT_ECHO) + L"\" " + quoted);
    std::cout << "-- argument_echo: status " << ran.status << ", output:\n" << ran.output;
    EXPECT_EQ(ran.status, 40u + std::size(words));
    EXPECT_EQ(ran.output, expected) << "the child's lines alone: nothing of keepawake's own";

    // Found as the console finds a typed name: PATH, then PATHEXT.
    EXPECT_EQ(run(L"-- cmd /c exit 3").status, 3u);
    EXPECT_EQ(run(L"-- no-such-command-here").status, 127u);
}

TEST(WindowsCommandLine, BatchFilesRunThroughCmdButNeverWithInterpretedArguments) {
    char directory[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, directory);
    const std::string batch = std::string(directory) + "keepawake-test.cmd";
    std::ofstream(batch) << "@echo [%~1]\r\n@exit /b 5\r\n";
    const std::wstring path(batch.begin(), batch.end());

    Finished ran = run(L"-- \"" + path + L"\" \"two words\"");
    std::cout << "batch: status " << ran.status << ", output " << ran.output;
    EXPECT_EQ(ran.status, 5u);
    EXPECT_EQ(ran.output, "[two words]\n");

    for (const wchar_t* unsafe : {L"a&b", L"100%", L"x^y", L"a|b", L"\"\\\"q\\\"\""}) {
        ran = run(L"-- \"" + path + L"\" " + unsafe);
        EXPECT_EQ(ran.status, 2u);
        EXPECT_EQ(ran.output.find("[a"), std::string::npos) << "the batch file must not run";
        EXPECT_NE(ran.output.find("cmd.exe would interpret"), std::string::npos) << ran.output;
    }
    DeleteFileA(batch.c_str());
}

TEST(WindowsCommandLine, BadUsageIsRefusedBeforeAnythingStarts) {
    for (const wchar_t* arguments :
         {L"--until 25:00", L"--bogus", L"-w 4000000000", L"--for 1h -- cmd", L"--while-running= --no-menu"}) {
        const Finished ran = run(arguments, 30s);
        EXPECT_EQ(ran.status, 2u);
        EXPECT_EQ(ran.output.rfind("keepawake: ", 0), 0u) << ran.output;
        EXPECT_TRUE(endsWith(ran.output, "Try 'keepawake --help' for more information.\n")) << ran.output;
        EXPECT_EQ(std::count(ran.output.begin(), ran.output.end(), '\n'), 2) << ran.output;
    }
}

}  // namespace
