#include <iostream>

#include "app/keep_awake.h"
#include "app/remote_control.h"

namespace {

void drawMenu() {
    std::cout << (keepAwakeState.saverEnabled == 1 ? "Screen saver is currently enabled"
                                                   : "Screen saver is currently disabled")
              << std::endl;
    if (!runLimits.quitsBy.empty()) {
        std::cout << "Quits by itself " << runLimits.quitsBy << "." << std::endl;
    }
    std::cout << std::endl;
    std::cout << "Please select from the following options..." << std::endl;
    std::cout << std::endl;
    std::cout << (keepAwakeState.saverEnabled != 0 ? "d = Disable screen saver" : "e = Enabled screen saver")
              << std::endl;
    std::cout << "q = Quit the application" << std::endl;
    std::cout << std::endl;
}

bool isCommandSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next command character, skipping white space as formatted input does;
// false when none will come: end of input, a failed read, a limit reached or
// a request to stop. A pause or resume from the endpoint gives '\0', which
// redraws the menu.
bool readCommand(char* command) {
    for (;;) {
        const Wake wake = waitServingControl(command, runLimits.deadline);
        if (wake == Wake::controlRequest) {
            *command = '\0';
            return true;
        }
        if (wake != Wake::consoleByte) {
            return false;
        }
        if (!isCommandSpace(*command)) {
            return true;
        }
    }
}

}  // namespace

int runMenuLoop() {
    char command = 'a';
    for (;;) {
        clearConsole();
        drawMenu();

        // End of input or a failed read leaves no way to type "q": quit as it
        // would, rather than redrawing forever. A limit or a stop request
        // quits the same way.
        if (!readCommand(&command)) {
            command = 'q';
        }

        switch (command) {
        case 'd':
            resumeKeepAwake();
            break;
        case 'e':
            pauseKeepAwake();
            break;
        case 'q':
            std::cout << "Waiting to exit..." << std::endl;
            return 0;
        default:
            break;
        }
    }
}
