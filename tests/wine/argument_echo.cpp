// A small child for the command-line tests: writes each argument it was given
// as UTF-8 on its own line between brackets, and exits with 40 + their count.
// With "sleep MS" it only waits that long and exits 0. With "wait-ctrl-c MS"
// it says "waiting" once its Ctrl+C handler is set, and exits 50 once a
// Ctrl+C came ("got Ctrl+C"), or 1 if none came within MS.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

HANDLE ctrlC = nullptr;

BOOL WINAPI onCtrl(DWORD event) {
    if (event != CTRL_C_EVENT) {
        return FALSE;
    }
    SetEvent(ctrlC);
    return TRUE;
}

void say(const std::string& line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count == 3 && std::wstring(words[1]) == L"sleep") {
        Sleep(static_cast<DWORD>(_wtoi(words[2])));
        return 0;
    }
    if (count == 3 && std::wstring(words[1]) == L"wait-ctrl-c") {
        ctrlC = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(onCtrl, TRUE);
        say("waiting\n");
        if (WaitForSingleObject(ctrlC, static_cast<DWORD>(_wtoi(words[2]))) != WAIT_OBJECT_0) {
            return 1;
        }
        say("got Ctrl+C\n");
        return 50;
    }
    std::string text;
    for (int i = 1; i < count; ++i) {
        char utf8[1024] = {};
        WideCharToMultiByte(CP_UTF8, 0, words[i], -1, utf8, sizeof utf8, nullptr, nullptr);
        text += std::string("[") + utf8 + "]\n";
    }
    say(text);
    return 40 + count - 1;
}
