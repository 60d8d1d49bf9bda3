// Keeps the session awake through an idle inhibitor held on the session bus:
// GNOME's session manager, or the freedesktop screen saver (KDE Plasma,
// hypridle), whose SimulateUserActivity, where it takes it, also resets the
// desktop's own idle time. The inhibitor lives as long as the bus
// connection, so a killed program leaves nothing behind. Both names are
// followed for the whole run: an owner that leaves is let go of, one that
// comes (back) has the inhibitor taken again.
#pragma once

#include <cstdint>

// Told on the D-Bus thread whenever what the bus offers changed. cause is
// the clause for the one line that says so ("the freedesktop screen saver
// left the session bus"); null when only the activity call's period changed.
using DbusChanged = void (*)(const char* cause);

// Connects and looks for either service, waiting at most about a second.
// True when the bus answered: its names are then followed until dbusClose,
// whether or not a service was there at start.
bool dbusStart(DbusChanged changed);

// The service whose inhibitor is held (or taken whenever the user resumes),
// as the user reads it ("GNOME's session manager"); null when none is there
// or it refused. Any thread.
const char* dbusService();

// The period in milliseconds of the desktop's activity call where it takes
// one (KDE: at most one per 10 s or per half its timeout); 0 where it does
// not. Any thread.
std::uint32_t dbusActivityPeriodMs();

// The idle timeout of the desktop that owns the service, in seconds; 0 when
// unknown or none is there.
std::uint32_t dbusTimeoutSeconds();

// The activity call, when one is due: at most one per period. Worker only;
// never waits on the bus. onItsOwnTimer: the worker's timer runs at the
// activity period itself, so a tick that comes a little early still counts.
void dbusNudge(bool onItsOwnTimer);

// Neither waits on the bus.
void dbusPause();
void dbusResume();

// Releases the inhibitor and closes the connection, waiting a short bound.
void dbusClose();
