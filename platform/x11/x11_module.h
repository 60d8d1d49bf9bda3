// The one entry point of keepawake-x11.so, the module that keeps an X11
// session awake. It alone links the xcb libraries, so the program starts on
// a machine without them and can say which one is missing. Plain C types
// only: the module and the program each carry their own C++ runtime.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/diagnosis_line.h"

// What x11TimersRead found (platform/x11/x11_timers.h).
struct X11WatcherFacts {
    char screensaverVersion[32];       // xscreensaver's, on this display; "" when it runs not here
    std::uint32_t screensaverWindow;   // the window that says so; 0 when none
    std::uint32_t xautolockPid;        // as xautolock wrote it on the root window; 0 when none
    std::int32_t dpms;                 // -1: no DPMS extension, 0: disabled, 1: enabled
    std::uint16_t dpmsStandby;         // seconds; 0: that stage is off
    std::uint16_t dpmsSuspend;
    std::uint16_t dpmsOff;
};

struct X11Binding {
    // sizeof(X11Binding) in the module's build. New entries are only ever
    // added at the end, so a table at least as large as the program's own
    // has every entry the program knows.
    std::uint32_t size;
    // The server's screen-saver timeout in seconds, 0 when it cannot be read;
    // connects first, waiting about a second at most.
    std::uint32_t (*readScreenSaverTimeout)();
    // One relative pointer move through XTEST; never waits on the server.
    void (*sendRelativeMove)(std::int32_t dx, std::int32_t dy);
    // Lets go of the display without waiting on it.
    void (*close)();
    // The hotkey's grab on a connection of its own: x11_hotkey.h.
    int (*hotkeyStart)(std::uint32_t key, unsigned modifiers, const char* name, char* problem, std::size_t size);
    int (*hotkeyReadable)(char* problem, std::size_t size);
    void (*hotkeyStop)();
    // --diagnose: what the server at $DISPLAY tells, one finding at a time
    // (platform/x11/x11_diagnose.h). Blocks; the caller bounds it.
    void (*diagnose)(DiagnosisSink sink, void* context);
    // The session's watchers as the server tells of them, and the watch on
    // them (platform/x11/x11_timers.h).
    int (*timersRead)(X11WatcherFacts* facts, char* resources, std::size_t size);
    int (*timersWatchOpen)(std::uint32_t screensaverWindow);
    void (*timersWatchFollow)(std::uint32_t screensaverWindow);
    int (*timersWatchReadable)();
    void (*timersWatchClose)();
    // 1 while the display has not answered the connection the nudges wait
    // for; never waits.
    int (*displayUnanswered)();
    // --only-when-idle: the SYNC alarm on a connection of its own
    // (x11_idle_watch.h).
    int (*idleStart)(std::uint32_t intervalMs, char* problem, std::size_t size);
    int (*idleReadable)(char* problem, std::size_t size);
    void (*idleStop)();
};

#define KEEPAWAKE_X11_ENTRY "keepawakeX11Binding"
extern "C" const X11Binding* keepawakeX11Binding();
