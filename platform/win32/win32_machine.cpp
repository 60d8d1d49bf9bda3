// The machine's power source and the session's lock, told to a message-only
// window of the main thread, whose messages waitForWake pumps. Nothing here
// polls: between changes the window costs no wake-up at all.
//
// wtsapi32.dll is loaded only when the lock is watched, so that the program
// without --pause-when-locked imports and maps exactly what it did before.
#include <initguid.h>  // first, so that GUID_ACDC_POWER_SOURCE is defined here
#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_wake.h"

HWND machineWindow = nullptr;

namespace {

// The main thread's own: written by the window procedure while waitForWake
// dispatches, read by readMachineState on the same thread.
MachineState state;
bool powerKnown = false;
bool lockKnown = false;
bool changePending = false;

HPOWERNOTIFY powerNotice = nullptr;
HMODULE wtsapi = nullptr;
using SessionRegistration = BOOL(WINAPI*)(HWND, DWORD);
using SessionUnregistration = BOOL(WINAPI*)(HWND);
SessionUnregistration unregisterSession = nullptr;

// Through a pointer to a function without arguments, which any function
// pointer may be cast to and from.
template <typename Function>
Function entry(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(wtsapi, name)));
}

void take(bool* value, bool now) {
    if (*value != now) {
        *value = now;
        changePending = true;
    }
}

LRESULT CALLBACK onMachineMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_POWERBROADCAST && wParam == PBT_POWERSETTINGCHANGE && powerKnown) {
        const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam);
        if (setting != nullptr && IsEqualGUID(setting->PowerSetting, GUID_ACDC_POWER_SOURCE) &&
            setting->DataLength >= sizeof(DWORD)) {
            DWORD source = 0;
            std::memcpy(&source, setting->Data, sizeof source);
            // PoAc; a battery (PoDc) or a short-term source such as a UPS
            // (PoHot) both mean the mains are gone.
            take(&state.onBattery, source != PoAc);
        }
        return TRUE;
    }
    if (message == WM_WTSSESSION_CHANGE && lockKnown) {
        if (wParam == WTS_SESSION_LOCK || wParam == WTS_SESSION_UNLOCK) {
            take(&state.locked, wParam == WTS_SESSION_LOCK);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::string errorText(const char* what) {
    return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

// Empty when the window will be told of power changes; otherwise why not.
std::string watchPowerSource() {
    SYSTEM_POWER_STATUS status{};
    if (!GetSystemPowerStatus(&status)) {
        return errorText("GetSystemPowerStatus");
    }
    powerNotice = RegisterPowerSettingNotification(machineWindow, &GUID_ACDC_POWER_SOURCE, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (powerNotice == nullptr) {
        return errorText("RegisterPowerSettingNotification");
    }
    // 0 is offline; 1 online and 255 unknown read as mains, and so does a
    // machine that has no battery (flag 128) whatever the line says.
    state.onBattery = status.ACLineStatus == 0 && status.BatteryFlag != BATTERY_FLAG_NO_BATTERY;
    return {};
}

// Empty when the window will be told of lock and unlock; otherwise why not.
// Only changes are told: the session is taken as unlocked at start, as it
// is where a console program is started.
std::string watchSessionLock() {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length > MAX_PATH - 16) {
        return errorText("GetSystemDirectoryW");
    }
    std::wcscat(path, L"\\wtsapi32.dll");  // never from the program's folder
    wtsapi = LoadLibraryW(path);
    if (wtsapi == nullptr) {
        return errorText("loading wtsapi32.dll");
    }
    const auto registerSession = entry<SessionRegistration>("WTSRegisterSessionNotification");
    unregisterSession = entry<SessionUnregistration>("WTSUnRegisterSessionNotification");
    if (registerSession == nullptr || unregisterSession == nullptr) {
        return "wtsapi32.dll lacks WTSRegisterSessionNotification";
    }
    if (!registerSession(machineWindow, NOTIFY_FOR_THIS_SESSION)) {
        unregisterSession = nullptr;
        return errorText("WTSRegisterSessionNotification");
    }
    return {};
}

bool createWindow(std::string* problem) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = onMachineMessage;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"keepawake machine watch";
    if (RegisterClassExW(&windowClass) == 0) {
        *problem = errorText("RegisterClassExW");
        return false;
    }
    // Message-only: never shown, and not sent broadcasts it does not ask for.
    machineWindow = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    windowClass.hInstance, nullptr);
    if (machineWindow == nullptr) {
        *problem = errorText("CreateWindowExW");
        return false;
    }
    return true;
}

void stopWatching() {
    if (unregisterSession != nullptr) {
        unregisterSession(machineWindow);
    }
    if (powerNotice != nullptr) {
        UnregisterPowerSettingNotification(powerNotice);
    }
}

}  // namespace

void watchMachine(unsigned what) {
    std::string windowProblem;
    std::string powerProblem;
    std::string lockProblem;
    if (createWindow(&windowProblem)) {
        if ((what & watchPower) != 0) {
            powerProblem = watchPowerSource();
            powerKnown = powerProblem.empty();
        }
        if ((what & watchLock) != 0) {
            lockProblem = watchSessionLock();
            lockKnown = lockProblem.empty();
        }
        std::atexit(stopWatching);
    } else {
        powerProblem = lockProblem = windowProblem;
    }
    if (!powerKnown) {
        state.onBattery = false;
    }

    // One line for all that cannot be known, as on Linux.
    std::string unknown;
    std::string assumed;
    if ((what & watchPower) != 0 && !powerKnown) {
        unknown = "whether the machine is on battery (" + powerProblem + ")";
        assumed = "on mains power";
    }
    if ((what & watchLock) != 0 && !lockKnown) {
        unknown += (unknown.empty() ? "" : ", nor ") + std::string("whether the session is locked (") + lockProblem + ")";
        assumed += (assumed.empty() ? "" : " and ") + std::string("unlocked");
    }
    if (!unknown.empty()) {
        std::fprintf(stderr, "keepawake: cannot tell %s: keeping awake as if %s.\n", unknown.c_str(), assumed.c_str());
        std::fflush(stderr);
    }
    // The first state comes as a change, like every later one.
    changePending = true;
}

MachineState readMachineState() {
    return state;
}

bool takeMachineChange() {
    const bool pending = changePending;
    changePending = false;
    return pending;
}

