// The one entry point of keepawake-desktop.so, the module that keeps a
// Wayland session awake. It is loaded only in such a session, so the X11
// program never pays for the D-Bus and Wayland libraries it links. Plain C
// types only: the module and the program each carry their own C++ runtime.
#pragma once

#include <cstdint>

// One --diagnose finding as it crosses from the module: the fields of
// platform/diagnosis.h's Finding, as C strings and numbers.
struct DiagnosisLine {
    int part;
    int kind;
    const char* what;
    const char* value;
    const char* unit;
    const char* source;
    const char* unreadable;
    int hasSeconds;
    std::uint32_t seconds;
    unsigned heldBy;
    int ok;
    const char* advice;
};
using DiagnosisSink = void (*)(void* context, const DiagnosisLine* line);

// What the module's diagnose reads, each on the caller's thread, blocking:
// the caller bounds it with a deadline of its own.
constexpr unsigned diagnoseSessionBus = 1;  // GNOME, KDE and the freedesktop screen saver
constexpr unsigned diagnoseSystemBus = 2;   // logind
constexpr unsigned diagnoseVirtualPointer = 4;
constexpr unsigned diagnoseOnWayland = 8;   // a flag: the session is a Wayland one

struct DesktopBinding {
    // Picks how this session is kept awake and starts keeping it awake,
    // waiting at most about a second for the desktop. False when nothing can
    // (it has said why on standard error).
    bool (*start)();
    // The desktop's idle timeout in seconds, 0 when it cannot be read.
    std::uint32_t (*readScreenSaverTimeout)();
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
    // --diagnose: one part (above) of what the desktop and the machine tell,
    // handed to sink one finding at a time. Changes no setting and leaves
    // nothing held. Needs no start.
    void (*diagnose)(unsigned what, DiagnosisSink sink, void* context);
};

#define KEEPAWAKE_DESKTOP_ENTRY "keepawakeDesktopBinding"
extern "C" const DesktopBinding* keepawakeDesktopBinding();
