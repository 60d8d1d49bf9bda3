// The registry values and power settings the session's timers are read from
// (win32_session_timers.cpp), shared with --diagnose so that each is read in
// one place.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The user's screen-saver settings, and the policy over them (both HKCU).
inline constexpr const char* userDesktopKey = "Control Panel\\Desktop";
inline constexpr const char* policyDesktopKey = "Software\\Policies\\Microsoft\\Windows\\Control Panel\\Desktop";
// The machine's policies (HKLM), among them InactivityTimeoutSecs.
inline constexpr const char* systemPoliciesKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

// Power setting identifiers, as powrprof documents them.
inline constexpr GUID videoSubgroup{0x7516b95f, 0xf776, 0x4464, {0x8c, 0x53, 0x06, 0x16, 0x7f, 0x40, 0xcc, 0x99}};
inline constexpr GUID videoPowerdown{0x3c0bc021, 0xc8a8, 0x4e07, {0xa9, 0x73, 0x6b, 0x14, 0xcb, 0xcb, 0x2b, 0x7e}};
inline constexpr GUID consoleLockTimeout{0x8ec4b3a5, 0x6868, 0x48c2, {0xbe, 0x75, 0x4f, 0x30, 0x44, 0xbe, 0x88, 0xa7}};
inline constexpr GUID sleepSubgroup{0x238c9fa8, 0x0aad, 0x41ed, {0x83, 0xf4, 0x97, 0xbe, 0x24, 0x2c, 0x8f, 0x20}};
inline constexpr GUID standbyTimeout{0x29f6c1db, 0x86da, 0x48c5, {0x9f, 0xdb, 0xf2, 0xb6, 0x7b, 0x1f, 0x44, 0xda}};
inline constexpr GUID acdcPowerSource{0x5d3e9a59, 0xe9d5, 0x4b00, {0xa6, 0xbd, 0xff, 0x34, 0xff, 0x51, 0x65, 0x48}};

// A registry value as text: REG_SZ as it is, REG_DWORD in decimal. False
// when it cannot be read, with *status saying why (ERROR_FILE_NOT_FOUND: not
// set). HKLM is read in its 64-bit view whatever this build is.
bool readRegistryText(HKEY root, const char* path, const char* name, std::string* value, LONG* status);

// Seconds written as digits alone; nothing otherwise.
std::optional<std::uint32_t> parseSeconds(const std::string& text);

// One timeout of the active power plan, for the power source in use now.
struct PowerTimeout {
    std::uint32_t seconds = 0;  // 0: never
    std::string source;         // "PowerReadACValueIndex, on mains"
    std::string unreadable;     // not empty: why it cannot be read here
};
struct PowerSetting {
    const GUID* subgroup;
    const GUID* setting;
};
// One answer for each setting, in their order.
std::vector<PowerTimeout> readPowerTimeouts(const std::vector<PowerSetting>& settings);
