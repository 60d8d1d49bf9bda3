// The session's timers on Windows, read in one place for the interval,
// --status and --diagnose alike: the screen saver and the policy over it, the
// machine inactivity limit, and the active power plan's display-off and sleep
// timeouts for the power source in use. Input resets each of them, and a
// zero-distance SendInput is input.
//
// Their changes are told, never polled for: the registry keys they are read
// from signal events the main thread's wait waits on, and powrprof calls back
// on a thread of its own, which only sets an event. powrprof is loaded at run
// time, so that the program imports what it always did.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/win32/win32_timers.h"
#include "platform/win32/win32_wake.h"

HANDLE timerWaitEvents[timerWaitCount] = {};

namespace {

using GetActiveScheme = DWORD(WINAPI*)(HKEY, GUID**);
using ReadValueIndex = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*, DWORD*);
// powrprof.h's, which mingw-w64 leaves out.
using PowerCallback = ULONG(CALLBACK*)(void* context, ULONG type, void* setting);
struct SubscribeParameters {
    PowerCallback callback;
    void* context;
};
using RegisterSetting = DWORD(WINAPI*)(const GUID*, DWORD, HANDLE, HPOWERNOTIFY*);
constexpr DWORD notifyCallback = 2;  // DEVICE_NOTIFY_CALLBACK

// Through a plain function type first, which any function type casts from.
template <typename Function>
Function entry(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

HMODULE powrprof() {
    static const HMODULE module = [] {
        wchar_t path[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length > MAX_PATH - 16) {
            return HMODULE{};
        }
        lstrcatW(path, L"\\powrprof.dll");  // never from the program's folder
        return LoadLibraryW(path);
    }();
    return module;
}

// The 64-bit view of HKLM for a 32-bit build too: the policies live there.
REGSAM viewOf(HKEY root) {
    return root == HKEY_LOCAL_MACHINE ? KEY_WOW64_64KEY : 0;
}

SessionTimer timer(const char* watcher, const char* does, std::string source) {
    SessionTimer made;
    made.watcher = watcher;
    made.does = does;
    made.source = std::move(source);
    made.heldBy = heldByNudge;
    return made;
}

// The policy over the screen saver: its timeout, which Windows takes instead
// of the user's (*overrides), off while the screen saver is (*active, which
// the policy's ScreenSaveActive decides when it is set).
SessionTimer saverPolicy(bool* overrides, bool* active) {
    const std::string key = std::string("HKCU\\") + policyDesktopKey;
    std::string text;
    LONG status = 0;
    if (readRegistryText(HKEY_CURRENT_USER, policyDesktopKey, "ScreenSaveActive", &text, &status) &&
        (text == "0" || text == "1")) {
        *active = text == "1";
    }
    SessionTimer policy = timer("the screen-saver policy", "starts the screen saver", key + " ScreenSaveTimeOut");
    policy.policy = true;
    if (!readRegistryText(HKEY_CURRENT_USER, policyDesktopKey, "ScreenSaveTimeOut", &text, &status)) {
        if (status == ERROR_FILE_NOT_FOUND) {
            policy.source += ", not set";
        } else {
            policy.unreadable = policy.source + ": error " + std::to_string(status);
        }
        return policy;
    }
    const auto seconds = parseSeconds(text);
    if (!seconds) {
        policy.unreadable = "'" + text + "' in " + policy.source;
        return policy;
    }
    *overrides = true;
    policy.seconds = *seconds;
    return policy;
}

SessionTimer inactivityLimit() {
    SessionTimer limit = timer("the machine inactivity limit", "locks the session",
                               std::string("HKLM\\") + systemPoliciesKey + " InactivityTimeoutSecs");
    limit.policy = true;
    std::string text;
    LONG status = 0;
    if (!readRegistryText(HKEY_LOCAL_MACHINE, systemPoliciesKey, "InactivityTimeoutSecs", &text, &status)) {
        if (status == ERROR_FILE_NOT_FOUND) {
            limit.source += ", not set";
        } else {
            limit.unreadable = limit.source + ": error " + std::to_string(status);
        }
        return limit;
    }
    if (const auto seconds = parseSeconds(text)) {
        limit.seconds = *seconds;
    } else {
        limit.unreadable = "'" + text + "' in " + limit.source;
    }
    return limit;
}

// --- Watching ------------------------------------------------------------------

// A key the timers are read from, or one above it with its whole subtree
// where the key itself may be deleted and made again: a deleted key tells
// nothing more. While it does not exist, its nearest parent that does stands
// in, told of its subkeys: one of them leads to it.
struct WatchedKey {
    HKEY root;
    const char* path;
    BOOL subtree;
    HKEY open;
};
WatchedKey watchedKeys[] = {{HKEY_CURRENT_USER, userDesktopKey, FALSE, nullptr},
                            {HKEY_CURRENT_USER, "Software\\Policies", TRUE, nullptr},
                            {HKEY_LOCAL_MACHINE, systemPoliciesKey, FALSE, nullptr}};
constexpr std::size_t powerSlot = sizeof watchedKeys / sizeof watchedKeys[0];
static_assert(powerSlot < timerWaitCount, "a wait slot for each key and one for the power plan");

// Asks once more to be told of the key's next change; a request is good for
// one change. False when it cannot be asked.
bool armKey(WatchedKey& key, HANDLE event) {
    if (key.open != nullptr) {
        RegCloseKey(key.open);
        key.open = nullptr;
    }
    std::string path = key.path;
    for (BOOL subtree = key.subtree;; subtree = FALSE) {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(key.root, path.c_str(), 0, KEY_NOTIFY | viewOf(key.root), &opened) == ERROR_SUCCESS) {
            if (RegNotifyChangeKeyValue(opened, subtree, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event,
                                        TRUE) != ERROR_SUCCESS) {
                RegCloseKey(opened);
                return false;
            }
            key.open = opened;
            return true;
        }
        const std::size_t cut = path.rfind('\\');
        if (cut == std::string::npos) {
            return false;
        }
        path.resize(cut);
    }
}

// Called by powrprof on a thread of its own: only the event is touched.
ULONG CALLBACK onPowerSetting(void* context, ULONG, void*) {
    SetEvent(static_cast<HANDLE>(context));
    return ERROR_SUCCESS;
}

// The display-off and sleep timeouts and the power source they are read
// for. Told once at once, as powrprof does on registering: one more read.
bool watchPowerPlan(HANDLE event) {
    const HMODULE module = powrprof();
    const auto registerSetting =
        module != nullptr ? entry<RegisterSetting>(module, "PowerSettingRegisterNotification") : nullptr;
    if (registerSetting == nullptr) {
        return false;
    }
    static SubscribeParameters parameters{onPowerSetting, nullptr};  // powrprof keeps the pointer
    parameters.context = event;
    bool any = false;
    for (const GUID* setting : {&videoPowerdown, &standbyTimeout, &acdcPowerSource}) {
        HPOWERNOTIFY registration = nullptr;
        any = registerSetting(setting, notifyCallback, &parameters, &registration) == ERROR_SUCCESS || any;
    }
    return any;
}

}  // namespace

bool readRegistryText(HKEY root, const char* path, const char* name, std::string* value, LONG* status) {
    char text[256];
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    const DWORD view = root == HKEY_LOCAL_MACHINE ? RRF_SUBKEY_WOW6464KEY : 0;
    *status = RegGetValueA(root, path, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD | view, &type, text, &size);
    if (*status != ERROR_SUCCESS) {
        return false;
    }
    if (type == REG_DWORD) {
        DWORD number = 0;
        CopyMemory(&number, text, sizeof number);
        *value = std::to_string(number);
    } else {
        text[size < sizeof text ? size : sizeof text - 1] = '\0';
        *value = text;
    }
    return true;
}

std::optional<std::uint32_t> parseSeconds(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(text));
}

std::vector<PowerTimeout> readPowerTimeouts(const std::vector<PowerSetting>& settings) {
    std::vector<PowerTimeout> timeouts(settings.size());
    auto unreadable = [&](const std::string& why) {
        for (PowerTimeout& timeout : timeouts) {
            timeout.unreadable = why;
        }
        return timeouts;
    };
    const HMODULE module = powrprof();
    if (module == nullptr) {
        return unreadable("powrprof.dll cannot be loaded (error " + std::to_string(GetLastError()) + ")");
    }
    const auto active = entry<GetActiveScheme>(module, "PowerGetActiveScheme");
    SYSTEM_POWER_STATUS power{};
    // 0 is offline; 1 online and 255 unknown read as mains, and so does a
    // machine without a battery whatever the line says.
    const bool battery = GetSystemPowerStatus(&power) && power.ACLineStatus == 0 &&
                         power.BatteryFlag != BATTERY_FLAG_NO_BATTERY;
    const char* call = battery ? "PowerReadDCValueIndex" : "PowerReadACValueIndex";
    const auto read = entry<ReadValueIndex>(module, call);
    GUID* scheme = nullptr;
    const DWORD got = active != nullptr ? active(nullptr, &scheme) : ERROR_PROC_NOT_FOUND;
    if (got != ERROR_SUCCESS || scheme == nullptr || read == nullptr) {
        if (scheme != nullptr) {
            LocalFree(scheme);
        }
        return unreadable(read == nullptr && got == ERROR_SUCCESS
                              ? std::string("powrprof.dll lacks ") + call
                              : "PowerGetActiveScheme returned " + std::to_string(got) +
                                    (got == ERROR_CALL_NOT_IMPLEMENTED ? ": not implemented here" : ""));
    }
    char plan[16];
    std::snprintf(plan, sizeof plan, "%08lx", static_cast<unsigned long>(scheme->Data1));
    for (std::size_t i = 0; i < settings.size(); ++i) {
        DWORD seconds = 0;
        const DWORD status = read(nullptr, scheme, settings[i].subgroup, settings[i].setting, &seconds);
        if (status != ERROR_SUCCESS) {
            timeouts[i].unreadable = std::string(call) + " returned " + std::to_string(status);
            continue;
        }
        timeouts[i].seconds = seconds;
        timeouts[i].source = std::string(call) + ", plan " + plan + "-..., " + (battery ? "on battery" : "on mains");
    }
    LocalFree(scheme);
    return timeouts;
}

std::vector<SessionTimer> readSessionTimers(bool) {
    SessionTimer saver = timer("the screen saver", "starts the screen saver", "SPI_GETSCREENSAVETIMEOUT");
    saver.seconds = readScreenSaverTimeout();
    saver.systemSaver = true;
    BOOL userActive = TRUE;
    bool active = !SystemParametersInfoA(SPI_GETSCREENSAVEACTIVE, 0, &userActive, 0) || userActive != FALSE;
    bool overridden = false;
    SessionTimer policy = saverPolicy(&overridden, &active);
    if (overridden) {
        saver.seconds = 0;
        saver.source += ", set aside by the policy's ScreenSaveTimeOut";
    }
    SessionTimer& screenSaver = overridden ? policy : saver;
    const std::uint32_t saverSeconds = screenSaver.seconds;
    if (!active) {
        screenSaver.seconds = 0;
        screenSaver.source += ", off: ScreenSaveActive 0";
    }

    std::vector<SessionTimer> timers{saver, policy, inactivityLimit()};
    const std::vector<PowerTimeout> power = readPowerTimeouts({{&videoSubgroup, &videoPowerdown},
                                                               {&sleepSubgroup, &standbyTimeout}});
    const char* const does[] = {"turns the display off", "sleeps"};
    for (std::size_t i = 0; i < power.size(); ++i) {
        SessionTimer plan = timer("the power plan", does[i], power[i].source);
        plan.seconds = power[i].seconds;
        plan.unreadable = power[i].unreadable;
        timers.push_back(plan);
    }
    // A screen saver that is off still paces where no other timer is known,
    // as it always did: a run with the screen saver alone nudges as before.
    const bool anyOther = std::any_of(timers.begin(), timers.end(), [](const SessionTimer& other) {
        return other.unreadable.empty() && other.seconds != 0;
    });
    if (!active && !anyOther) {
        SessionTimer& kept = overridden ? timers[1] : timers[0];
        kept.seconds = saverSeconds;
        kept.source += ", yet the only timer known";
    }
    return timers;
}

// Registry and power notifications wake only on a change: nothing to hold.
void holdSessionTimersWatch(bool) {}

void watchSessionTimers() {
    for (std::size_t slot = 0; slot < powerSlot; ++slot) {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (event != nullptr && armKey(watchedKeys[slot], event)) {
            timerWaitEvents[slot] = event;
        } else if (event != nullptr) {
            CloseHandle(event);
        }
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event != nullptr && watchPowerPlan(event)) {
        timerWaitEvents[powerSlot] = event;
    }
    // Otherwise the event stays: a registration that failed halfway may
    // still call back, and setting an unwaited event is harmless.
}

bool serveTimerWake(HANDLE signalled) {
    for (std::size_t slot = 0; slot < powerSlot; ++slot) {
        if (timerWaitEvents[slot] == signalled && !armKey(watchedKeys[slot], signalled)) {
            // Not told again: read once more now, then no longer waited on.
            timerWaitEvents[slot] = nullptr;
        }
    }
    return true;
}
