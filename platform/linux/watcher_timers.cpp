// The watchers found in /proc, and the settings files they keep their
// timers in.
#include "platform/linux/session_timers.h"

void readWatcherTimers(std::vector<SessionTimer>*) {}

void watchWatcherTimers(int* filesFd, int* lookFd) {
    *filesFd = -1;
    *lookFd = -1;
}

bool serveWatcherFiles() {
    return false;
}

bool serveWatcherLook() {
    return false;
}
