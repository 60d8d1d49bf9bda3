// The hotkey in a Wayland session: the desktop's GlobalShortcuts portal
// binds it and tells each press. Everything runs on a thread of its own with
// asynchronous calls; nothing the program does waits on it beyond a bound.
#pragma once

// Asks the portal for a session and binds one shortcut to the trigger
// ("CTRL+ALT+k"); each press writes one byte to notifyFd. Where the portal is
// missing or refuses, one line on standard error says so, naming what to
// bind in the desktop's settings instead.
void portalShortcutsStart(const char* trigger, const char* name, int notifyFd);

// Closes the portal's session and the connection, waiting at most 0.5 s.
void portalShortcutsStop();
