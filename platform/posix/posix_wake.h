// Signals turned into wake-ups: what the POSIX wait and the command runner
// share.
#pragma once

#include <sys/types.h>

#include <optional>

#include "platform/platform.h"

// The command being run (-1 when none) and, once it has ended, its status as
// waitpid gave it.
extern pid_t runningCommand;
extern int endedCommandStatus;

// From now on the signal writes its number into the wake pipe, which
// waitForWake watches.
void wakeOnSignal(int signal);

// The read end of the pipe that the machine's watcher writes a byte into on
// each change (-1 while nothing is watched); waitForWake watches it.
extern int machineWakeFd;

// The read end of the pipe that the display writes a byte into whenever the
// way the session is kept awake changes (-1 where it never does).
extern int displayWakeFd;

// What the hotkey's presses arrive on (-1 while there is none): the X
// connection of the key's grab, or a pipe the desktop module writes a byte to
// per press. waitForWake watches it.
extern int hotkeyWakeFd;

// What tells of a change in the session's timers (-1 where unused): the
// settings files' inotify, the timer of the next look through /proc, the X
// connection that watches the root window. When one is readable,
// serveTimerWait(slot) reads what came, and says whether a timer may have
// changed.
constexpr int timerWaitSlots = 3;
extern int timerWaitFds[timerWaitSlots];
extern bool (*serveTimerWait)(int slot);

// --only-when-idle: what tells that the session has been idle an interval
// (-1 while nothing does): the X connection of the SYNC alarm, or a pipe the
// desktop module writes to. When it is readable waitForWake asks
// takeSessionIdle, which reads it without waiting: Wake::sessionIdle, or
// Wake::displayChanged when idleness can no longer be told (nudges go back
// to their timer), or nothing yet.
extern int idleWakeFd;
std::optional<Wake> takeSessionIdle();
