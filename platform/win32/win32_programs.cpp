// The programs a run waits for: one look at the process list (Toolhelp) now,
// then one every 2 s on a waitable timer while none runs. Once some run,
// their process handles are waited on and nothing is looked at until the
// last has ended; then at once and every 250 ms for 2 s, before the run
// pauses. Only this logon session's processes count.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/win32_wake.h"

HANDLE programLookTimer = nullptr;
std::vector<HANDLE> heldPrograms;

namespace {

ProgramMatch wanted = nullptr;
bool running = false;
// Once the last has ended, looks that found none: the run pauses only when
// none came back in graceLooks more, one every 250 ms (a loop, a restart).
constexpr int graceLooks = 8;
int missedLooks = 0;

// Due in period milliseconds, then every period.
void armLook(LONG period) {
    LARGE_INTEGER due;
    due.QuadPart = -10'000LL * period;
    SetWaitableTimer(programLookTimer, &due, period, nullptr, nullptr, FALSE);
}

void releaseHeld() {
    for (const HANDLE process : heldPrograms) {
        CloseHandle(process);
    }
    heldPrograms.clear();
}

// Looks once and holds what runs; true when whether one runs changed.
bool look() {
    releaseHeld();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    DWORD mySession = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &mySession);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more && heldPrograms.size() < mostHeldPrograms;
             more = Process32NextW(snapshot, &entry)) {
            DWORD session = 0;
            if (entry.th32ProcessID == GetCurrentProcessId() ||
                !ProcessIdToSessionId(entry.th32ProcessID, &session) || session != mySession ||
                !wanted(toUtf8(entry.szExeFile), NameRules::windows)) {
                continue;
            }
            // One that has ended, though still listed while a handle keeps
            // it, runs no more: holding it would wake the wait at once, for
            // another look that finds it again.
            const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
                heldPrograms.push_back(process);
            } else if (process != nullptr) {
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
    }
    const bool seen = !heldPrograms.empty();
    missedLooks = seen ? 0 : missedLooks + 1;
    const bool now = seen || (running && missedLooks <= graceLooks);
    if (seen) {
        CancelWaitableTimer(programLookTimer);
    } else if (now) {
        armLook(250);
    } else {
        missedLooks = 0;
        armLook(2000);
    }
    const bool changed = now != running;
    running = now;
    return changed;
}

}  // namespace

void watchPrograms(ProgramMatch match) {
    const HANDLE probe = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    const DWORD error = GetLastError();
    programLookTimer = probe == INVALID_HANDLE_VALUE ? nullptr : CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
    }
    if (programLookTimer == nullptr) {
        std::fprintf(stderr,
                     "keepawake: cannot look for running programs (error %lu): keeping awake as if one runs.\n",
                     probe == INVALID_HANDLE_VALUE ? error : GetLastError());
        running = true;
        return;
    }
    wanted = match;
    look();
}

bool programRuns() {
    return running;
}

bool serveProgramWake(HANDLE signalled) {
    if (signalled == programLookTimer) {
        return look();
    }
    for (auto held = heldPrograms.begin(); held != heldPrograms.end(); ++held) {
        if (*held == signalled) {
            CloseHandle(*held);
            heldPrograms.erase(held);
            break;
        }
    }
    // The last one gone: whether another has started meanwhile is looked at
    // at once.
    return heldPrograms.empty() && look();
}
