#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

void registerExitHook(ExitHook hook) {
    std::atexit(hook);
}

void clearConsole() {
    // Only a terminal has a screen to clear; a pipe or file gets the text alone.
    if (isatty(STDOUT_FILENO) == 0) {
        return;
    }
    std::fputs("\x1b[H\x1b[2J\x1b[3J", stdout);
    std::fflush(stdout);
}
