// The one entry point of keepawake-desktop.so, the module that keeps a
// Wayland session awake. It is loaded only in such a session, so the X11
// program never pays for the D-Bus and Wayland libraries it links. Plain C
// types only: the module and the program each carry their own C++ runtime.
#pragma once

#include <cstdint>

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
    // Binds the hotkey through the desktop's GlobalShortcuts portal (trigger
    // as the portal writes keys: "CTRL+ALT+k"; name as the user reads it),
    // writing a byte to notifyFd per press. Never waits on the bus; where the
    // portal is missing or refuses, one line on standard error says so.
    // Needs no start.
    void (*hotkeyStart)(const char* trigger, const char* name, int notifyFd);
    // Ends the portal's session within a short bound.
    void (*hotkeyStop)();
};

#define KEEPAWAKE_DESKTOP_ENTRY "keepawakeDesktopBinding"
extern "C" const DesktopBinding* keepawakeDesktopBinding();
