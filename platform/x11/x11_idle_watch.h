// --only-when-idle on X11: an alarm of the SYNC extension on the server's
// IDLETIME counter, on a connection of its own that the main thread's one
// wait watches. Plain C types, so the calls can sit in a module's table.
#pragma once

#include <cstddef>
#include <cstdint>

// Arms the alarm for the interval: it fires each time the session's idle
// time rises past it, and the idle time it has now is asked for too, so an
// already idle session is told at once. The first call connects, waiting at
// most a second; later ones re-arm without waiting (-1 once the connection
// broke: x11IdleReadable says so). The descriptor to watch,
// or -1 with one line in problem saying why not.
int x11IdleStart(std::uint32_t intervalMs, char* problem, std::size_t size);

// The descriptor is readable: takes what the display sent, never waiting.
// 1 when the session has now been idle one interval, else 0. When the alarm
// stopped working (the display went away), problem gets one line and the
// descriptor is closed: it is not watched again.
int x11IdleReadable(char* problem, std::size_t size);

// Lets go of the alarm and the connection without waiting on the display.
void x11IdleStop();
