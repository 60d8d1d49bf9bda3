// The one entry point of keepawake-desktop.so, the module that keeps a
// Wayland session awake. It is loaded only in such a session, so the X11
// program never pays for the D-Bus and Wayland libraries it links. Plain C
// types only: the module and the program each carry their own C++ runtime.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/diagnosis_line.h"


// What the module's diagnose reads, each on the caller's thread, blocking:
// the caller bounds it with a deadline of its own.
constexpr unsigned diagnoseSessionBus = 1;  // GNOME, KDE and the freedesktop screen saver
constexpr unsigned diagnoseSystemBus = 2;   // logind
constexpr unsigned diagnoseVirtualPointer = 4;
constexpr unsigned diagnoseOnWayland = 8;   // a flag: the session is a Wayland one

// One GSettings key for readSettings: schema and key in, what was read out.
struct SettingRead {
    const char* schema;
    const char* key;
    int found;           // 1: read; 0: the schema or the key is not installed, or its type is none of these
    std::int64_t value;  // a number key's value; a boolean's 1 or 0
};

struct DesktopBinding {
    // Takes every way this session offers and starts keeping it awake,
    // waiting at most about a second for each of the session bus and the
    // compositor, then follows them: whenever a way comes or goes it says so
    // in one line on standard error and writes a byte to notifyFd. False
    // when nothing can keep it awake now or later (it has said why).
    bool (*start)(int notifyFd);
    // The desktop's idle timeout in seconds, 0 when it cannot be read.
    std::uint32_t (*readScreenSaverTimeout)();
    // The worker's timer period for the nudge interval, 0 for none (see
    // keepAwakePeriod in platform.h).
    std::uint32_t (*period)(std::uint32_t nudgeIntervalMs);
    // How the session is kept awake now, as keepAwakeWay's words, cut to fit
    // size with its terminating zero; false when nothing keeps it awake.
    bool (*describe)(std::uint32_t nudgeIntervalMs, char* words, std::size_t size);
    // One keep-awake nudge; never waits on the desktop.
    void (*nudge)();
    void (*pause)();
    void (*resume)();
    // Lets go of the desktop within a short bound.
    void (*close)();
    // Follows the power source and the session's lock on the system bus
    // (what: watchPower and watchLock of platform.h), writing a byte to
    // notifyFd on each change; never waits on the bus. Needs no start.
    void (*watchMachine)(unsigned what, int notifyFd);
    void (*readMachine)(bool* onBattery, bool* locked);
    // Binds the hotkey through the desktop's GlobalShortcuts portal (trigger
    // as the portal writes keys: "CTRL+ALT+k"; name as the user reads it),
    // writing a byte to notifyFd per press. Never waits on the bus; where the
    // portal is missing or refuses, one line on standard error says so.
    // Needs no start.
    void (*hotkeyStart)(const char* trigger, const char* name, int notifyFd);
    // Ends the portal's session within a short bound.
    void (*hotkeyStop)();
    // --diagnose: one part (above) of what the desktop and the machine tell,
    // handed to sink one finding at a time. Changes no setting and leaves
    // nothing held. Needs no start.
    void (*diagnose)(unsigned what, DiagnosisSink sink, void* context);
    // Reads GSettings keys (MATE's and Cinnamon's idle timers) through the
    // settings backend, asking no daemon. Needs no start.
    void (*readSettings)(SettingRead* reads, std::size_t count);
    // --only-when-idle, after start; called again, it re-arms for the
    // interval. 1 when the compositor tells idleness (ext-idle-notify):
    // desktopIdleByte goes to notifyFd each time the seat has been idle the
    // interval, and period() leaves the zero moves to those. 0 where no
    // input is sent (an inhibitor alone): nothing changes, and describe says
    // so. -1 with one line in problem where it cannot be told. Once it can
    // no longer be told, one line on standard error and desktopIdleLost.
    int (*idleStart)(std::uint32_t intervalMs, int notifyFd, char* problem, std::size_t size);
};

constexpr char desktopIdleByte = 'i';
constexpr char desktopIdleLost = 'x';

#define KEEPAWAKE_DESKTOP_ENTRY "keepawakeDesktopBinding"
extern "C" const DesktopBinding* keepawakeDesktopBinding();
