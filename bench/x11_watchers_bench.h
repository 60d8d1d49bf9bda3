// The figures beside an X11 idle watcher whose timer sets the pace: the
// interval the program took from it, and its wake-ups per nudge.
#pragma once

#include <string>

// Runs on a private Xvfb of its own, beside xscreensaver at its default
// 10 min, for about three times the given seconds (6 to 30 s); the rows as a
// printable table.
std::string x11WatcherFigures(double seconds);
