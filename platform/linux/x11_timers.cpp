// The X server's watchers' timers, read through keepawake-x11.so.
#include "platform/linux/session_timers.h"

void readX11Timers(std::vector<SessionTimer>*) {}

int watchX11Timers() {
    return -1;
}

bool serveX11Timers() {
    return false;
}
