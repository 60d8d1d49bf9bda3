// Presses Ctrl+C or Ctrl+Break in another process's console, for the tests:
//   console_ctrl PID c          Ctrl+C to the processes of our own group there
//   console_ctrl PID break      Ctrl+Break to the process group PID leads
// It joins that console first: an event only reaches the console of its
// sender. Exits 0 once sent, otherwise with the error the system gave, and
// says which call failed on standard output.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

int failed(const char* call) {
    const DWORD error = GetLastError();
    const std::string line = std::string(call) + " failed: error " + std::to_string(error) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return error != 0 ? static_cast<int>(error) : 0xFFFF;  // never 0 for a failure
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr || count != 3) {
        return 0xFFFE;
    }
    const DWORD pid = static_cast<DWORD>(_wtoi(words[1]));
    const bool brk = std::wstring(words[2]) == L"break";

    FreeConsole();
    if (!AttachConsole(pid)) {
        return failed("AttachConsole");
    }
    // The Ctrl+C goes to our own group too: it must not end us before we report.
    SetConsoleCtrlHandler(nullptr, TRUE);
    if (!GenerateConsoleCtrlEvent(brk ? CTRL_BREAK_EVENT : CTRL_C_EVENT, brk ? pid : 0)) {
        return failed("GenerateConsoleCtrlEvent");
    }
    return 0;
}
