// What the X server tells of the session's idle watchers, and a connection
// of its own that is told when that may have changed. The reading blocks
// (the caller runs it on a thread of its own and bounds it); the watch is
// served without ever waiting.
#pragma once

#include <cstddef>
#include <cstdint>

struct X11WatcherFacts;

// Reads, on a connection made and closed for it, xscreensaver's window on
// this display, xautolock's process id, the server's DPMS, and the root
// window's X resources (NUL-terminated, cut at size). 0 when the display
// could not be reached.
int x11TimersRead(X11WatcherFacts* facts, char* resources, std::size_t size);

// Connects and asks to be told of the root window's properties, and of the
// end of xscreensaver's window (0: none known). Blocks; the caller bounds it.
// The connection's descriptor, or -1.
int x11TimersWatchOpen(std::uint32_t screensaverWindow);

// A later read found xscreensaver's window (0: none): its end is watched
// from now on. Never waits.
void x11TimersWatchFollow(std::uint32_t screensaverWindow);

// The descriptor is readable: takes what came, never waiting. 1 when a
// watcher's setting, xscreensaver or xautolock may have changed; -1 when
// the display went away (the descriptor is then closed).
int x11TimersWatchReadable();

void x11TimersWatchClose();
