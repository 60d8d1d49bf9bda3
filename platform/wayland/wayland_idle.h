// --only-when-idle on a wlroots-like compositor: an ext-idle-notify-v1
// notification of the seat, on a connection and a thread of their own.
#pragma once

#include <cstdint>
#include <string>

// The first call connects, waiting at most about a second, and starts the
// thread; later ones only re-arm it for the interval (a notification made
// anew counts its timeout from then). Each time the seat has had no input
// for the interval, told() runs on that thread; lost() once, when the
// compositor went away. Version 2's input-only notification is taken where
// offered, so that another client's idle inhibitor does not hold it back;
// where ext-idle-notify is missing (sway 1.7), the older KDE idle protocol.
// Empty when it works, else why not.
std::string waylandIdleStart(std::uint32_t intervalMs, void (*told)(), void (*lost)());

// Which notification is in use, for --diagnose: "ext-idle-notify-v1,
// input-only (version 2)" and the like; empty while none is known.
const char* waylandIdleKind();

// --diagnose: which notification --only-when-idle would use, connecting
// just for that (about a second at most); empty with *why when none.
std::string waylandIdleProbe(std::string* why);

// Ends the thread and the connection within a short bound.
void waylandIdleClose();
