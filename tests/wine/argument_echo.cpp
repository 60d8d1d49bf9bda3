// A small child for the command-line tests: writes each argument it was given
// as UTF-8 on its own line between brackets, and exits with 40 + their count.
// With "sleep MS" it only waits that long and exits 0.
#include <windows.h>
#include <shellapi.h>

#include <string>

int main() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count == 3 && std::wstring(words[1]) == L"sleep") {
        Sleep(static_cast<DWORD>(_wtoi(words[2])));
        return 0;
    }
    std::string text;
    for (int i = 1; i < count; ++i) {
        char utf8[1024] = {};
        WideCharToMultiByte(CP_UTF8, 0, words[i], -1, utf8, sizeof utf8, nullptr, nullptr);
        text += std::string("[") + utf8 + "]\n";
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return 40 + count - 1;
}
