#include <cstdlib>

#include "platform/platform.h"

void registerExitHook(ExitHook hook) {
    std::atexit(hook);
}

void clearConsole() {
    std::system("cls");
}
