// The session's timers on Windows, read in one place for the interval,
// --status and --diagnose alike.
#include <windows.h>

#include "platform/platform.h"

std::vector<SessionTimer> readSessionTimers(bool) {
    SessionTimer saver;
    saver.watcher = "the screen saver";
    saver.does = "starts the screen saver";
    saver.seconds = readScreenSaverTimeout();
    saver.source = "SPI_GETSCREENSAVETIMEOUT";
    saver.systemSaver = true;
    return {saver};
}

void watchSessionTimers() {}
