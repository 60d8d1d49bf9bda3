// The hotkey on Windows: RegisterHotKey for the main thread, whose WM_HOTKEY
// messages the wait takes as they come. MOD_NOREPEAT keeps a held key to one.
#include <windows.h>

#include <iterator>

#include "platform/platform.h"
#include "platform/win32/win32_wake.h"

bool hotkeyRegistered = false;

namespace {

constexpr int hotkeyId = 1;
int pressesWaiting = 0;

struct NamedKey {
    std::uint32_t key;
    UINT vk;
};
constexpr NamedKey namedKeys[] = {
    {hotkeyPause, VK_PAUSE},   {hotkeySpace, VK_SPACE},    {hotkeyHome, VK_HOME},     {hotkeyEnd, VK_END},
    {hotkeyInsert, VK_INSERT}, {hotkeyDelete, VK_DELETE},  {hotkeyPageUp, VK_PRIOR},  {hotkeyPageDown, VK_NEXT},
    {hotkeyLeft, VK_LEFT},     {hotkeyUp, VK_UP},          {hotkeyRight, VK_RIGHT},   {hotkeyDown, VK_DOWN},
    {hotkeyPrint, VK_SNAPSHOT}, {hotkeyEscape, VK_ESCAPE}, {hotkeyTab, VK_TAB},       {hotkeyEnter, VK_RETURN},
    {hotkeyBackspace, VK_BACK},
};

UINT virtualKey(std::uint32_t key) {
    if (key >= 'a' && key <= 'z') {
        return key - 'a' + 'A';  // the letter keys' codes are the capitals
    }
    if (key < 0x80) {
        return key;  // the digits'
    }
    if (key >= hotkeyF1 && key < hotkeyF1 + 24) {
        return VK_F1 + (key - hotkeyF1);
    }
    for (const NamedKey& named : namedKeys) {
        if (named.key == key) {
            return named.vk;
        }
    }
    return 0;
}

}  // namespace

void noteHotkeyMessage() {
    ++pressesWaiting;
}

bool hotkeyPressWaiting() {
    return pressesWaiting > 0;
}

std::string registerHotkey(const Hotkey& hotkey) {
    UINT modifiers = MOD_NOREPEAT;
    modifiers |= (hotkey.modifiers & hotkeyCtrl) != 0 ? MOD_CONTROL : 0;
    modifiers |= (hotkey.modifiers & hotkeyAlt) != 0 ? MOD_ALT : 0;
    modifiers |= (hotkey.modifiers & hotkeyShift) != 0 ? MOD_SHIFT : 0;
    modifiers |= (hotkey.modifiers & hotkeySuper) != 0 ? MOD_WIN : 0;
    if (RegisterHotKey(nullptr, hotkeyId, modifiers, virtualKey(hotkey.key))) {
        hotkeyRegistered = true;
        return {};
    }
    const DWORD error = GetLastError();
    if (error == ERROR_HOTKEY_ALREADY_REGISTERED) {
        return hotkey.name + " is taken by another program; running without a hotkey.";
    }
    return hotkey.name + " could not be registered (error " + std::to_string(error) + "); running without a hotkey.";
}

int takeHotkeyPresses(std::string*) {
    const int presses = pressesWaiting;
    pressesWaiting = 0;
    return presses;
}

void releaseHotkey() {
    if (hotkeyRegistered) {
        UnregisterHotKey(nullptr, hotkeyId);
        hotkeyRegistered = false;
    }
}
