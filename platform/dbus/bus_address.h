// Where the session bus is, from the environment alone: no bus is started
// and nothing is waited for when there is none.
#pragma once

#include <string>

// DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus where that is a
// socket; empty when neither.
std::string sessionBusAddress();
