// Every timer of the session, read in one place for the interval, --status
// and --diagnose alike, and the events that say one may have changed.
#include "platform/linux/session_timers.h"
#include "platform/posix/posix_wake.h"

namespace {

bool serve(int slot) {
    switch (slot) {
    case 0:
        return serveWatcherFiles();
    case 1:
        return serveWatcherLook();
    default:
        return serveX11Timers();
    }
}

}  // namespace

std::vector<SessionTimer> readSessionTimers(bool takeDisplay) {
    std::vector<SessionTimer> timers;
    if (takeDisplay) {
        timers.push_back(systemSaverTimer());
    }
    readX11Timers(&timers);
    readWatcherTimers(&timers);
    return timers;
}

void holdSessionTimersWatch(bool held) {
    holdWatcherLook(held);
}

void watchSessionTimers() {
    watchWatcherTimers(&timerWaitFds[0], &timerWaitFds[1]);
    timerWaitFds[2] = watchX11Timers();
    serveTimerWait = serve;
}
