// --diagnose on Windows: the user's and the administrator's screen-saver
// settings, the locked console's display-off timeout, the session, and one
// nudge checked against GetLastInputInfo; the session's timers themselves
// come from their one reader (win32_session_timers.cpp). Every call is a
// local one that answers at once.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_timers.h"

namespace {

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
        // Appended piece by piece: GCC 12 warns wrongly of " " + std::to_string.
        const DWORD parts[] = {version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber};
        for (std::size_t i = 0; i < 3; ++i) {
            name += i == 0 ? ' ' : '.';
            name += std::to_string(parts[i]);
        }
    }
    if (auto wine = entry<WineGetVersion>(ntdll, "wine_get_version"); wine != nullptr) {
        name += std::string(", under Wine ") + wine();
    }
    return name;
}

// The policy's switches over the screen saver. Its timeout is one of the
// session's timers, listed with them.
void policyFindings(std::vector<Finding>* findings) {
    const std::string userPolicy = std::string("HKCU\\") + policyDesktopKey;
    const struct {
        const char* name;
        const char* what;
    } values[] = {{"ScreenSaveActive", "policy: screen saver on"}, {"ScreenSaverIsSecure", "policy: screen saver locks"}};
    for (const auto& value : values) {
        std::string text;
        LONG status = 0;
        const std::string source = userPolicy + " " + value.name;
        if (readRegistryText(HKEY_CURRENT_USER, policyDesktopKey, value.name, &text, &status)) {
            findings->push_back(readFinding(Finding::timers, Finding::fact, value.what,
                                            text == "1" ? "1 (yes)" : text == "0" ? "0 (no)" : text, "", source));
        } else if (status == ERROR_FILE_NOT_FOUND) {
            findings->push_back(readFinding(Finding::timers, Finding::fact, value.what, "not set", "", source));
        } else {
            findings->push_back(unreadableFinding(Finding::timers, Finding::fact, value.what,
                                                  source + ": error " + std::to_string(status)));
        }
    }
}

// The display-off timeout of the locked console: it runs only while the
// session is locked, where no nudge reaches, so it paces nothing.
Finding consoleLockFinding() {
    const char* what = "the power plan (turns the display off once locked)";
    const PowerTimeout timeout = readPowerTimeouts({{&videoSubgroup, &consoleLockTimeout}}).front();
    if (!timeout.unreadable.empty()) {
        return unreadableFinding(Finding::timers, Finding::fact, what, timeout.unreadable);
    }
    return readFinding(Finding::timers, Finding::fact, what,
                       timeout.seconds == 0 ? "never" : std::to_string(timeout.seconds), timeout.seconds == 0 ? "" : "s",
                       timeout.source);
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
    findings.push_back(consoleLockFinding());
    liveCheck(&findings);
    findings.push_back(unreadableFinding(Finding::others, Finding::holder, "other programs' power requests",
                                         "Windows shows them only to administrators, with powercfg /requests"));
    return findings;
}
