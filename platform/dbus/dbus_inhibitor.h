// Keeps the session awake through an idle inhibitor held on the session bus:
// GNOME's session manager, or the freedesktop screen saver (KDE Plasma), whose
// SimulateUserActivity also serves as the nudge. The inhibitor lives as long
// as the bus connection, so a killed program leaves nothing behind.
#pragma once

#include <cstdint>

// Looks for either service, waiting at most about a second. True when one
// was found; the inhibitor is then being taken, and timeoutSeconds is that
// desktop's idle timeout (0 when unreadable).
bool dbusStart(std::uint32_t* timeoutSeconds);

// None of these waits on the bus.
void dbusNudge();
void dbusPause();
void dbusResume();

// Releases the inhibitor and closes the connection, waiting a short bound.
void dbusClose();
