// Runs the real keepawake.exe with its standard streams on pipes.
#pragma once

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>

struct ChildOutput;

struct WindowsChild {
    HANDLE process = nullptr;
    DWORD pid = 0;
    HANDLE input = nullptr;
    HANDLE unreadOutput = nullptr;  // the pipe's read end, when nobody drains it
    std::shared_ptr<ChildOutput> output;
    DWORD startError = 0;  // CreateProcessW's, when it failed
};

// arguments: what follows the program's quoted path on its command line.
// creationFlags go to CreateProcess (a console of its own, a process group).
// Without drainOutput nobody reads what it writes, so its writes soon block.
WindowsChild startProgram(const std::wstring& arguments = L"", DWORD creationFlags = 0, bool drainOutput = true);
void typeInto(WindowsChild& child, const std::string& text);
void closeInput(WindowsChild& child);

// What the program wrote so far, with CR LF turned into LF.
std::string writtenSoFar(const WindowsChild& child);
bool waitForText(const WindowsChild& child, const std::string& text, std::chrono::milliseconds limit);

constexpr DWORD timedOut = 0xDEAD;
// The exit code, or timedOut after ending a program that did not exit in time.
DWORD waitForExit(WindowsChild& child, std::chrono::milliseconds limit);
void releaseChild(WindowsChild& child);

// What the system's last-input time did while watched for span: how often it
// moved on (each a nudge) and at what gaps, and whether the cursor moved.
struct InputWatch {
    int nudges = 0;
    DWORD medianGapMs = 0;
    DWORD largestGapMs = 0;
    bool cursorMoved = false;
};
InputWatch watchInput(std::chrono::milliseconds span);

// The screen-saver timeout as Windows keeps it: a string under Control Panel.
// A null pointer removes the value, so that it cannot be read.
std::string readTimeoutSetting();
void writeTimeoutSetting(const std::string* seconds);

// Whether the process has made the message-only window through which
// Windows tells it of power and lock changes (it does so for --only-on-ac or
// --pause-when-locked, after it has taken over the console's stop requests).
bool hasMachineWindow(const WindowsChild& child);

// Wine starts its desktop process for the first window of a session, and
// that process keeps the pipes of the program that made it open. Made by the
// test first, it holds only the test's own; call before such a program runs.
void startWineDesktop();

// A path of the build as a Windows program under Wine takes it: the host's
// root is drive Z:, and the slashes go the other way.
std::wstring windowsPath(std::string path);

// Runs a helper program of the tests with arguments and waits for it, 20 s at
// most: its exit code, CreateProcessW's error, or timedOut.
DWORD runHelper(const std::string& program, const std::wstring& arguments);

// The screen-saver timeout as it was before a test, put back after it.
struct KeptTimeoutSetting {
    KeptTimeoutSetting() : saved(readTimeoutSetting()) {}
    ~KeptTimeoutSetting() { writeTimeoutSetting(saved == "(none)" ? nullptr : &saved); }
    KeptTimeoutSetting(const KeptTimeoutSetting&) = delete;
    KeptTimeoutSetting& operator=(const KeptTimeoutSetting&) = delete;
    std::string saved;
};
