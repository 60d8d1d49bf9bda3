// The nudge interval as the session's timers give it, kept up to date while
// the program runs. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.h"

namespace timers {

// Reads the session's timers and returns the interval they give, or the
// one -i asked for.
std::uint32_t start(const CommandLine& options);

// Once the worker runs: from now on their changes are followed (not with -i).
void watch();

// After Wake::timersChanged: reads them again and, when the interval they
// give has changed, takes it and tells the worker. True when it changed.
bool follow();

// Once the worker was held or released, or the way the session is kept
// awake changed: the timers are followed only while their pace matters (zero
// moves sent); what came meanwhile arrives as Wake::timersChanged.
void settle();

// With --only-when-idle where the session tells idleness: the timers are
// then read at each idle notice instead of by looking through the processes
// every 2 s, so nothing wakes while someone works.
void toldWhenIdle(bool told);

// Whether the way sends zero moves at the interval.
bool nudgesAtTheInterval(const KeepAwakeWay& way);

// For the status line after "every N ms": ", for xscreensaver's 2 min";
// empty where -i set the interval or no timer is known.
std::string statusWords();

}  // namespace timers
