#include <iostream>

#include "app/keep_awake.h"

namespace {

void drawMenu() {
    std::cout << (keepAwakeState.saverEnabled == 1 ? "Screen saver is currently enabled"
                                                   : "Screen saver is currently disabled")
              << std::endl;
    std::cout << std::endl;
    std::cout << "Please select from the following options..." << std::endl;
    std::cout << std::endl;
    std::cout << (keepAwakeState.saverEnabled != 0 ? "d = Disable screen saver" : "e = Enabled screen saver")
              << std::endl;
    std::cout << "q = Quit the application" << std::endl;
    std::cout << std::endl;
}

}  // namespace

int runMenuLoop() {
    char command = 'a';
    for (;;) {
        clearConsole();
        drawMenu();

        // End of input or a failed read leaves no way to type "q": quit as it
        // would, rather than redrawing forever.
        if (!(std::cin >> command)) {
            command = 'q';
        }

        switch (command) {
        case 'd':
            resumeDisplayKeepAwake();
            resumeWorker(keepAwakeState.workerThread);
            keepAwakeState.saverEnabled = 0;
            break;
        case 'e':
            // Hold at most one level deep: a single "d" or the exit must
            // always be enough to release the worker.
            if (keepAwakeState.saverEnabled == 0) {
                // Held first, so no nudge follows the display's release.
                pauseWorker(keepAwakeState.workerThread);
                pauseDisplayKeepAwake();
                keepAwakeState.saverEnabled = 1;
            }
            break;
        case 'q':
            std::cout << "Waiting to exit..." << std::endl;
            return 0;
        default:
            break;
        }
    }
}
