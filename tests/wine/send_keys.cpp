// Types a key combination with SendInput, from a process other than the one
// that registered it, for the tests:
//   send_keys [--repeat N] VK...
// presses the virtual keys (hexadecimal) in order and lets go of them in
// reverse; --repeat sends the last key's press N times more before its
// release, as a held key's auto-repeat does. Exits 0 once every event was
// taken, otherwise with the error the system gave.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

INPUT keyEvent(WORD key, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr) {
        return 0xFFFE;
    }
    int repeats = 0;
    std::vector<WORD> keys;
    for (int i = 1; i < count; ++i) {
        if (std::wstring(words[i]) == L"--repeat" && i + 1 < count) {
            repeats = _wtoi(words[++i]);
        } else {
            keys.push_back(static_cast<WORD>(wcstoul(words[i], nullptr, 16)));
        }
    }
    if (keys.empty()) {
        return 0xFFFE;
    }
    std::vector<INPUT> events;
    for (const WORD key : keys) {
        events.push_back(keyEvent(key, false));
    }
    for (int i = 0; i < repeats; ++i) {
        events.push_back(keyEvent(keys.back(), false));
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        events.push_back(keyEvent(*key, true));
    }
    // One event at a time, a little apart, as a hand types them.
    for (INPUT& event : events) {
        if (SendInput(1, &event, sizeof event) != 1) {
            return static_cast<int>(GetLastError() != 0 ? GetLastError() : 0xFFFF);
        }
        Sleep(20);
    }
    return 0;
}
