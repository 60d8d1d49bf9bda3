// --diagnose on Windows: the user's and the administrator's screen-saver
// settings, the machine inactivity limit, the active power plan's timeouts,
// the session, and one nudge checked against GetLastInputInfo. Every call is
// a local one that answers at once; powrprof is loaded only here.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

const char* const policyDesktop = "Software\\Policies\\Microsoft\\Windows\\Control Panel\\Desktop";
const char* const systemPolicies = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

// Power setting identifiers, as powrprof documents them.
constexpr GUID videoSubgroup{0x7516b95f, 0xf776, 0x4464, {0x8c, 0x53, 0x06, 0x16, 0x7f, 0x40, 0xcc, 0x99}};
constexpr GUID videoPowerdown{0x3c0bc021, 0xc8a8, 0x4e07, {0xa9, 0x73, 0x6b, 0x14, 0xcb, 0xcb, 0x2b, 0x7e}};
constexpr GUID consoleLock{0x8ec4b3a5, 0x6868, 0x48c2, {0xbe, 0x75, 0x4f, 0x30, 0x44, 0xbe, 0x88, 0xa7}};
constexpr GUID sleepSubgroup{0x238c9fa8, 0x0aad, 0x41ed, {0x83, 0xf4, 0x97, 0xbe, 0x24, 0x2c, 0x8f, 0x20}};
constexpr GUID standbyTimeout{0x29f6c1db, 0x86da, 0x48c5, {0x9f, 0xdb, 0xf2, 0xb6, 0x7b, 0x1f, 0x44, 0xda}};

using GetActiveScheme = DWORD(WINAPI*)(HKEY, GUID**);
using ReadValueIndex = DWORD(WINAPI*)(HKEY, const GUID*, const GUID*, const GUID*, DWORD*);

// Through a plain function type first, which any function type casts from.
template <typename Function>
Function entry(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string systemName() {
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineGetVersion = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    std::string name = "Windows";
    if (ntdll == nullptr) {
        return name;
    }
    // GetVersionEx answers what the manifest asks for; this is the truth.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (auto get = entry<RtlGetVersion>(ntdll, "RtlGetVersion");
        get != nullptr && get(&version) == 0) {
        name += " " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                std::to_string(version.dwBuildNumber);
    }
    if (auto wine = entry<WineGetVersion>(ntdll, "wine_get_version"); wine != nullptr) {
        name += std::string(", under Wine ") + wine();
    }
    return name;
}

// A policy value as text: REG_SZ as it is, REG_DWORD in decimal.
bool readPolicy(HKEY root, const char* path, const char* name, std::string* value, LONG* status) {
    char text[256];
    DWORD type = 0;
    DWORD size = sizeof text;
    *status = RegGetValueA(root, path, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, text, &size);
    if (*status != ERROR_SUCCESS) {
        return false;
    }
    *value = type == REG_DWORD ? std::to_string(*reinterpret_cast<DWORD*>(text)) : std::string(text);
    return true;
}

std::optional<std::uint32_t> parseSeconds(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(text));
}

void policyFindings(std::vector<Finding>* findings) {
    const std::string userPolicy = std::string("HKCU\\") + policyDesktop;
    const struct {
        const char* name;
        const char* what;
        bool timer;
    } values[] = {{"ScreenSaveActive", "policy: screen saver on", false},
                  {"ScreenSaverIsSecure", "policy: screen saver locks", false},
                  {"ScreenSaveTimeOut", "policy: screen-saver timeout", true}};
    for (const auto& value : values) {
        std::string text;
        LONG status = 0;
        const std::string source = userPolicy + " " + value.name;
        if (!readPolicy(HKEY_CURRENT_USER, policyDesktop, value.name, &text, &status)) {
            if (status == ERROR_FILE_NOT_FOUND) {
                findings->push_back(readFinding(Finding::timers, Finding::fact, value.what, "not set", "", source));
            } else {
                findings->push_back(unreadableFinding(Finding::timers, Finding::fact, value.what,
                                                      source + ": error " + std::to_string(status)));
            }
            continue;
        }
        const auto seconds = value.timer ? parseSeconds(text) : std::nullopt;
        if (value.timer && seconds) {
            Finding policy = timerFinding(Finding::policy, value.what, *seconds, source, heldByNudge);
            policy.advice = "a policy sets the screen saver to start after " + text +
                            " s: nudges hold it off only while keepawake runs and is not paused";
            findings->push_back(policy);
        } else {
            findings->push_back(readFinding(Finding::timers, Finding::fact, value.what,
                                            text == "1" ? "1 (yes)" : text == "0" ? "0 (no)" : text, "", source));
        }
    }

    std::string text;
    LONG status = 0;
    const std::string source = std::string("HKLM\\") + systemPolicies + " InactivityTimeoutSecs";
    if (!readPolicy(HKEY_LOCAL_MACHINE, systemPolicies, "InactivityTimeoutSecs", &text, &status)) {
        findings->push_back(status == ERROR_FILE_NOT_FOUND
                                ? readFinding(Finding::timers, Finding::fact, "machine inactivity limit", "not set", "",
                                              source)
                                : unreadableFinding(Finding::timers, Finding::policy, "machine inactivity limit",
                                                    source + ": error " + std::to_string(status)));
        return;
    }
    const auto seconds = parseSeconds(text);
    if (!seconds) {
        findings->push_back(unreadableFinding(Finding::timers, Finding::policy, "machine inactivity limit",
                                              "'" + text + "' in " + source));
        return;
    }
    Finding limit = timerFinding(Finding::policy, "machine inactivity limit (locks)", *seconds, source, heldByNudge);
    limit.advice = "a policy locks this machine after " + text +
                   " s without input: nudges hold it off only while keepawake runs and is not paused";
    findings->push_back(limit);
}

void powerFindings(std::vector<Finding>* findings) {
    HMODULE powrprof = LoadLibraryA("powrprof.dll");
    const char* what = "power plan";
    if (powrprof == nullptr) {
        findings->push_back(unreadableFinding(Finding::timers, Finding::timer, what, "powrprof.dll cannot be loaded"));
        return;
    }
    auto active = entry<GetActiveScheme>(powrprof, "PowerGetActiveScheme");
    auto readAc = entry<ReadValueIndex>(powrprof, "PowerReadACValueIndex");
    auto readDc = entry<ReadValueIndex>(powrprof, "PowerReadDCValueIndex");
    GUID* scheme = nullptr;
    const DWORD got = active != nullptr ? active(nullptr, &scheme) : ERROR_PROC_NOT_FOUND;
    if (got != ERROR_SUCCESS || scheme == nullptr || readAc == nullptr || readDc == nullptr) {
        findings->push_back(unreadableFinding(Finding::timers, Finding::timer, what,
                                              "PowerGetActiveScheme returned " + std::to_string(got) +
                                                  (got == ERROR_CALL_NOT_IMPLEMENTED ? ": not implemented here" : "")));
        FreeLibrary(powrprof);
        return;
    }
    char name[40];
    std::snprintf(name, sizeof name, "%08lx-%04x-%04x", static_cast<unsigned long>(scheme->Data1), scheme->Data2,
                  scheme->Data3);
    findings->push_back(readFinding(Finding::timers, Finding::fact, "active power plan", std::string(name) + "-...",
                                    "", "PowerGetActiveScheme"));
    const struct {
        const GUID* subgroup;
        const GUID* setting;
        const char* what;
    } settings[] = {{&videoSubgroup, &videoPowerdown, "display off"},
                    {&sleepSubgroup, &standbyTimeout, "sleep"},
                    {&videoSubgroup, &consoleLock, "display off when locked"}};
    for (const auto& setting : settings) {
        for (const bool mains : {true, false}) {
            DWORD seconds = 0;
            const DWORD status = (mains ? readAc : readDc)(nullptr, scheme, setting.subgroup, setting.setting, &seconds);
            const std::string label = std::string("power plan: ") + setting.what + (mains ? " on mains" : " on battery");
            const char* call = mains ? "PowerReadACValueIndex" : "PowerReadDCValueIndex";
            if (status != ERROR_SUCCESS) {
                findings->push_back(unreadableFinding(Finding::timers, Finding::timer, label,
                                                      std::string(call) + " returned " + std::to_string(status)));
                continue;
            }
            findings->push_back(timerFinding(Finding::timer, label, seconds, call, heldByNudge));
        }
    }
    LocalFree(scheme);
    FreeLibrary(powrprof);
}

// Whether input goes to the user's own desktop now; a locked screen or an
// elevation prompt puts it on a secure one, where nothing is inserted.
Finding wayFinding() {
    Finding way = readFinding(Finding::session, Finding::way, "kept awake by", "SendInput relative moves", "",
                              "the input desktop");
    way.heldBy = heldByNudge;
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (desktop == nullptr) {
        way.advice = "the input desktop cannot be opened (error " + std::to_string(GetLastError()) +
                     "): the screen is locked or a secure prompt has the input; unlock it and run keepawake again";
        return way;
    }
    char name[256] = "";
    DWORD needed = 0;
    GetUserObjectInformationA(desktop, UOI_NAME, name, sizeof name - 1, &needed);
    CloseDesktop(desktop);
    way.source = std::string("the input desktop, ") + name;
    way.ok = lstrcmpiA(name, "Default") == 0;
    if (!way.ok) {
        way.advice = std::string("the input is on the desktop '") + name +
                     "', not the user's own: unlock it or answer the prompt, then run keepawake again";
    }
    return way;
}

void liveCheck(std::vector<Finding>* findings) {
    LASTINPUTINFO before{sizeof(LASTINPUTINFO), 0};
    if (!GetLastInputInfo(&before)) {
        findings->push_back(unreadableFinding(Finding::live, Finding::check, "one nudge",
                                              "GetLastInputInfo failed (error " + std::to_string(GetLastError()) +
                                                  ")"));
        return;
    }
    const DWORD now = GetTickCount();
    findings->push_back(readFinding(Finding::live, Finding::fact, "idle time", std::to_string(now - before.dwTime),
                                    "ms", "GetTickCount - GetLastInputInfo"));
    if (now == before.dwTime) {
        Sleep(20);  // so a nudge that counts moves the time on
    }
    INPUT record{};
    record.type = INPUT_MOUSE;
    record.mi.dwFlags = MOUSEEVENTF_MOVE;
    if (SendInput(1, &record, sizeof(INPUT)) != 1) {
        Finding refused = readFinding(Finding::live, Finding::check, "one nudge", "SendInput inserted nothing", "",
                                      "SendInput");
        refused.advice = "Windows inserts no input here (a secure desktop or a window of higher integrity has it): "
                         "run keepawake as that window's user, or close it";
        findings->push_back(refused);
        return;
    }
    LASTINPUTINFO after{sizeof(LASTINPUTINFO), 0};
    for (int i = 0; i < 20; ++i) {
        GetLastInputInfo(&after);
        if (after.dwTime != before.dwTime) {
            break;
        }
        Sleep(10);
    }
    Finding check = readFinding(Finding::live, Finding::check, "one nudge",
                                after.dwTime != before.dwTime
                                    ? "counted: the last input moved on by " +
                                          std::to_string(after.dwTime - before.dwTime) + " ms"
                                    : "did not count: the last input stayed where it was",
                                "", "GetLastInputInfo around one SendInput move");
    check.ok = after.dwTime != before.dwTime;
    if (!check.ok) {
        check.advice = "Windows took the nudge but does not count it as input; the screen saver may still start";
    }
    findings->push_back(check);
}

}  // namespace

std::vector<Finding> diagnoseSession(std::chrono::steady_clock::time_point) {
    std::vector<Finding> findings;
    findings.push_back(readFinding(Finding::session, Finding::fact, "system", systemName(), "", "RtlGetVersion"));
    findings.push_back(readFinding(Finding::session, Finding::fact, "desktop", "Windows", "", ""));
    Finding remote = readFinding(Finding::session, Finding::remote, "remote session",
                                 GetSystemMetrics(SM_REMOTESESSION) != 0 ? "yes" : "no", "",
                                 "GetSystemMetrics(SM_REMOTESESSION)");
    remote.ok = remote.value == "yes";
    if (remote.ok) {
        remote.advice = "this is a remote session: the remote desktop client and the server's own policies may "
                        "still lock it or end it";
    }
    findings.push_back(remote);
    findings.push_back(wayFinding());
    findings.push_back(readFinding(Finding::session, Finding::fact, "--only-when-idle",
                                   "the last input's time, read when a nudge is due: none while someone works", "",
                                   "GetLastInputInfo"));

    int timeout = 0;
    Finding saver = SystemParametersInfoA(SPI_GETSCREENSAVETIMEOUT, 0, &timeout, 0)
                        ? timerFinding(Finding::saverTimeout, "screen-saver timeout",
                                       static_cast<std::uint32_t>(timeout), "SPI_GETSCREENSAVETIMEOUT", heldByNudge)
                        : unreadableFinding(Finding::timeout, Finding::saverTimeout, "screen-saver timeout",
                                            "SPI_GETSCREENSAVETIMEOUT failed");
    saver.part = Finding::timeout;
    findings.push_back(saver);
    BOOL active = FALSE;
    BOOL secure = FALSE;
    findings.push_back(SystemParametersInfoA(SPI_GETSCREENSAVEACTIVE, 0, &active, 0)
                           ? readFinding(Finding::timers, Finding::fact, "screen saver on", active ? "yes" : "no", "",
                                         "SPI_GETSCREENSAVEACTIVE")
                           : unreadableFinding(Finding::timers, Finding::fact, "screen saver on",
                                               "SPI_GETSCREENSAVEACTIVE failed"));
    findings.push_back(SystemParametersInfoA(SPI_GETSCREENSAVESECURE, 0, &secure, 0)
                           ? readFinding(Finding::timers, Finding::fact, "screen saver locks", secure ? "yes" : "no",
                                         "", "SPI_GETSCREENSAVESECURE")
                           : unreadableFinding(Finding::timers, Finding::fact, "screen saver locks",
                                               "SPI_GETSCREENSAVESECURE failed"));
    policyFindings(&findings);
    powerFindings(&findings);
    liveCheck(&findings);
    findings.push_back(unreadableFinding(Finding::others, Finding::holder, "other programs' power requests",
                                         "Windows shows them only to administrators, with powercfg /requests"));
    return findings;
}
