#include "tests/wine/windows_child.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct ChildOutput {
    std::mutex mutex;
    std::condition_variable grew;
    std::string text;
    bool ended = false;
    std::thread reader;
};

namespace {

// The program's path as this build knows it, in the form Windows takes.
std::string programPath() {
    std::string path = KEEPAWAKE_PROGRAM;
    if (!path.empty() && path[0] == '/') {
        path = std::string("Z:").append(path);  // Wine's drive for the host's root
    }
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

void readAll(HANDLE from, std::shared_ptr<ChildOutput> output) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> lock(output->mutex);
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != '\r') {
                output->text += buffer[i];
            }
        }
        output->grew.notify_all();
    }
    CloseHandle(from);
    std::lock_guard<std::mutex> lock(output->mutex);
    output->ended = true;
    output->grew.notify_all();
}

const char* const desktopKey = "Control Panel\\Desktop";
const char* const timeoutValue = "ScreenSaveTimeOut";

}  // namespace

WindowsChild startProgram(const std::wstring& arguments, DWORD creationFlags, bool drainOutput) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead = nullptr;
    HANDLE inWrite = nullptr;
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    CreatePipe(&inRead, &inWrite, &inheritable, 0);
    // Undrained, the smallest buffer the system gives, so that writes block soon.
    CreatePipe(&outRead, &outWrite, &inheritable, drainOutput ? 0 : 1);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION started{};
    const std::string path = programPath();
    std::wstring commandLine = L"\"" + std::wstring(path.begin(), path.end()) + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }

    WindowsChild child;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, creationFlags, nullptr, nullptr,
                       &startup, &started)) {
        CloseHandle(started.hThread);
        child.process = started.hProcess;
        child.pid = started.dwProcessId;
    } else {
        child.startError = GetLastError();
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);
    child.input = inWrite;
    child.output = std::make_shared<ChildOutput>();
    if (drainOutput) {
        child.output->reader = std::thread(readAll, outRead, child.output);
    } else {
        child.unreadOutput = outRead;
    }
    return child;
}

void typeInto(WindowsChild& child, const std::string& text) {
    DWORD written = 0;
    WriteFile(child.input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void closeInput(WindowsChild& child) {
    if (child.input != nullptr) {
        CloseHandle(child.input);
        child.input = nullptr;
    }
}

std::string writtenSoFar(const WindowsChild& child) {
    std::lock_guard<std::mutex> lock(child.output->mutex);
    return child.output->text;
}

bool waitForText(const WindowsChild& child, const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(child.output->mutex);
    return child.output->grew.wait_for(lock, limit, [&] {
        return child.output->text.find(text) != std::string::npos || child.output->ended;
    }) && child.output->text.find(text) != std::string::npos;
}

DWORD waitForExit(WindowsChild& child, std::chrono::milliseconds limit) {
    if (WaitForSingleObject(child.process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        TerminateProcess(child.process, timedOut);
        WaitForSingleObject(child.process, INFINITE);
        return timedOut;
    }
    DWORD code = timedOut;
    GetExitCodeProcess(child.process, &code);
    return code;
}

void releaseChild(WindowsChild& child) {
    closeInput(child);
    if (child.process != nullptr) {
        if (WaitForSingleObject(child.process, 0) != WAIT_OBJECT_0) {
            TerminateProcess(child.process, timedOut);
            WaitForSingleObject(child.process, INFINITE);
        }
        CloseHandle(child.process);
        child.process = nullptr;
    }
    if (child.unreadOutput != nullptr) {
        CloseHandle(child.unreadOutput);
        child.unreadOutput = nullptr;
    }
    if (child.output != nullptr && child.output->reader.joinable()) {
        child.output->reader.join();
    }
}

std::string readTimeoutSetting() {
    char value[64] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_CURRENT_USER, desktopKey, timeoutValue, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return "(none)";
    }
    return value;
}

void writeTimeoutSetting(const std::string* seconds) {
    HKEY desktop = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, desktopKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &desktop, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    if (seconds == nullptr) {
        RegDeleteValueA(desktop, timeoutValue);
    } else {
        RegSetValueExA(desktop, timeoutValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(seconds->c_str()),
                       static_cast<DWORD>(seconds->size() + 1));
    }
    RegCloseKey(desktop);
}

InputWatch watchInput(std::chrono::milliseconds span) {
    InputWatch watch;
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    GetLastInputInfo(&info);
    DWORD last = info.dwTime;
    POINT before{};
    GetCursorPos(&before);
    std::vector<DWORD> times;
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        Sleep(1);
        GetLastInputInfo(&info);
        if (info.dwTime != last) {
            last = info.dwTime;
            times.push_back(info.dwTime);
        }
        POINT now{};
        GetCursorPos(&now);
        watch.cursorMoved = watch.cursorMoved || now.x != before.x || now.y != before.y;
    }
    watch.nudges = static_cast<int>(times.size());
    std::vector<DWORD> gaps;
    for (std::size_t i = 1; i < times.size(); ++i) {
        gaps.push_back(times[i] - times[i - 1]);
    }
    if (!gaps.empty()) {
        std::sort(gaps.begin(), gaps.end());
        watch.medianGapMs = gaps[gaps.size() / 2];
        watch.largestGapMs = gaps.back();
    }
    return watch;
}

bool hasMachineWindow(const WindowsChild& child) {
    HWND window = nullptr;
    for (int found = 0; found < 16; ++found) {
        const HWND next = FindWindowExW(HWND_MESSAGE, window, L"keepawake machine watch", nullptr);
        if (next == nullptr || next == window) {
            break;  // Wine may give the same one again
        }
        window = next;
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == GetProcessId(child.process)) {
            return true;
        }
    }
    return false;
}

void startWineDesktop() {
    static const bool started = [] {
        DestroyWindow(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
        return true;
    }();
    (void)started;
}

std::wstring windowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    std::replace(path.begin(), path.end(), '/', '\\');
    return std::wstring(path.begin(), path.end());
}

DWORD runHelper(const std::string& program, const std::wstring& arguments) {
    std::wstring line = L"\"" + windowsPath(program) + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return GetLastError();
    }
    DWORD code = timedOut;
    if (WaitForSingleObject(started.hProcess, 20000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(started.hProcess, &code);
    } else {
        TerminateProcess(started.hProcess, timedOut);
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return code;
}
