// Waiting for the first of: a byte of input, a deadline, a watched process,
// a command's end, a console event, a limit's timer, a change of the machine
// or of a setting the session's timers are read from.
// Console input cannot be waited on reliably, so a thread reads it, one byte
// per request, and signals an event. While the machine is watched, its window's
// messages end the wait too, and so do the hotkey's.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/win32/win32_control.h"
#include "platform/win32/win32_wake.h"

HANDLE runningCommand = nullptr;
DWORD commandExitCode = 0;

namespace {

HANDLE watchedProcess = nullptr;
HANDLE stopEvent = nullptr;
volatile LONG stopRequests = 0;

// The input reader: wantByte asks for one byte, byteReady answers.
HANDLE wantByte = nullptr;
HANDLE byteReady = nullptr;
char readByte = 0;
bool inputEnded = false;
bool byteAsked = false;

DWORD WINAPI readInput(void*) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (!inputEnded) {
        WaitForSingleObject(wantByte, INFINITE);
        DWORD got = 0;
        char byte = 0;
        const BOOL read = ReadFile(input, &byte, 1, &got, nullptr);
        // Ctrl+Z ends input as the C runtime's text mode has it.
        inputEnded = !read || got == 0 || byte == 0x1A;
        readByte = byte;
        SetEvent(byteReady);
    }
    return 0;
}

bool startReader() {
    if (byteReady != nullptr) {
        return true;
    }
    wantByte = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    byteReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wantByte == nullptr || byteReady == nullptr) {
        return false;
    }
    const HANDLE reader = CreateThread(nullptr, 0, readInput, nullptr, 0, nullptr);
    if (reader == nullptr) {
        return false;
    }
    CloseHandle(reader);
    return true;
}

// The main thread's queue: the machine window's messages go to it; the
// hotkey's, sent to the thread itself, are counted.
void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_HOTKEY && message.hwnd == nullptr) {
            noteHotkeyMessage();
        } else {
            DispatchMessageW(&message);
        }
    }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (runningCommand != nullptr) {
        // The command gets the same event and decides; a closing console ends
        // us, and the job object the command with us.
        return interrupt ? TRUE : FALSE;
    }
    if (InterlockedIncrement(&stopRequests) > 1 && event == CTRL_C_EVENT) {
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);  // asked twice: now
    }
    SetEvent(stopEvent);
    if (!interrupt) {
        // The process ends as soon as this returns: wait here for the main
        // thread's orderly exit, which ends this thread with the process.
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

std::string toUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string converted(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
    converted.resize(converted.size() - 1);
    return converted;
}

std::wstring toWide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring converted(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, converted.data(), size);
    converted.resize(converted.size() - 1);
    return converted;
}

std::vector<std::string> commandLineArguments(int, char**) {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; words != nullptr && i < count; ++i) {
        arguments.push_back(toUtf8(words[i]));
    }
    LocalFree(words);
    return arguments;
}

std::string watchProcess(std::uint32_t pid) {
    watchedProcess = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (watchedProcess != nullptr) {
        return {};
    }
    if (GetLastError() == ERROR_INVALID_PARAMETER) {
        return "no process with id " + std::to_string(pid);
    }
    return "cannot wait for process " + std::to_string(pid) + " (error " + std::to_string(GetLastError()) + ")";
}

void catchStopRequests() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent != nullptr) {
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    }
}

Wake waitForWake(char* byte, std::optional<std::chrono::steady_clock::time_point> deadline) {
    for (;;) {
        if (controlRequestWaiting()) {
            return Wake::controlRequest;
        }
        if (fallbackDeadline) {
            deadline = deadline ? std::min(*deadline, *fallbackDeadline) : *fallbackDeadline;
        }
        if (takeMachineChange()) {
            return Wake::machineChanged;
        }
        if (fallbackBoundary && std::chrono::steady_clock::now() >= *fallbackBoundary) {
            fallbackBoundary.reset();
            return Wake::windowBoundary;
        }
        if (fallbackBoundary) {
            deadline = deadline ? std::min(*deadline, *fallbackBoundary) : *fallbackBoundary;
        }
        if (hotkeyPressWaiting()) {
            return Wake::hotkey;
        }
        const bool pumping = machineWindow != nullptr || hotkeyRegistered;
        HANDLE handles[9 + mostHeldPrograms + timerWaitCount];
        Wake reasons[9 + mostHeldPrograms + timerWaitCount];
        DWORD count = 0;
        auto add = [&](HANDLE handle, Wake reason) {
            if (handle != nullptr) {
                handles[count] = handle;
                reasons[count++] = reason;
            }
        };
        add(runningCommand, Wake::commandEnded);
        // While a command runs the stop requests are its own: one caught
        // before it started must not end the wait with a status it never gave.
        add(runningCommand == nullptr ? stopEvent : nullptr, Wake::stopRequested);
        add(watchedProcess, Wake::processEnded);
        add(controlWaitHandle(), Wake::controlRequest);
        add(wallDeadlineTimer, Wake::deadline);
        add(elapsedDeadlineTimer, Wake::deadline);
        add(windowBoundaryTimer, Wake::windowBoundary);
        add(programLookTimer, Wake::programsChanged);
        for (const HANDLE program : heldPrograms) {
            add(program, Wake::programsChanged);
        }
        for (const HANDLE setting : timerWaitEvents) {
            add(setting, Wake::timersChanged);
        }
        if (byte != nullptr) {
            if (!startReader()) {
                return Wake::consoleEnded;
            }
            if (!byteAsked) {
                byteAsked = true;
                SetEvent(wantByte);
            }
            add(byteReady, Wake::consoleByte);
        }

        DWORD timeout = INFINITE;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return Wake::deadline;
            }
            timeout = static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(left.count(), INFINITE - 1));
        } else if (count == 0 && !pumping) {
            return Wake::stopRequested;  // nothing could ever end the wait
        }

        timeout = controlTimeout(timeout);
        DWORD result = WAIT_TIMEOUT;
        if (pumping) {
            // Only messages that came since the queue was last emptied end
            // this wait, so every pump empties it.
            result = MsgWaitForMultipleObjects(count, handles, FALSE, timeout, QS_ALLINPUT);
            if (result == WAIT_OBJECT_0 + count) {
                pumpMessages();
                continue;  // a change or a press is taken above
            }
        } else if (count == 0) {
            Sleep(timeout);
        } else {
            result = WaitForMultipleObjects(count, handles, FALSE, timeout);
        }
        if (result == WAIT_TIMEOUT) {
            if (serveControlWait()) {
                return Wake::controlRequest;
            }
            continue;  // the deadline is checked above
        }
        if (result >= WAIT_OBJECT_0 + count) {
            return byte != nullptr ? Wake::consoleEnded : Wake::stopRequested;
        }
        const DWORD index = result - WAIT_OBJECT_0;
        const Wake reason = reasons[index];
        if (reason == Wake::controlRequest) {
            if (serveControlWait()) {
                return reason;
            }
            continue;  // the pipe moved on; nothing to answer yet
        }
        if (handles[index] == elapsedDeadlineTimer && !elapsedDeadlineDue()) {
            continue;
        }
        if (reason == Wake::programsChanged && !serveProgramWake(handles[index])) {
            continue;
        }
        if (reason == Wake::timersChanged && !serveTimerWake(handles[index])) {
            continue;
        }
        if (reason == Wake::commandEnded) {
            GetExitCodeProcess(runningCommand, &commandExitCode);
            CloseHandle(runningCommand);
            runningCommand = nullptr;
        } else if (reason == Wake::consoleByte) {
            byteAsked = false;
            if (inputEnded) {
                return Wake::consoleEnded;
            }
            *byte = readByte;
        }
        return reason;
    }
}
