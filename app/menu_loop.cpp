#include <iostream>

#include "app/keep_awake.h"
#include "app/remote_control.h"

namespace {

void drawMenu() {
    std::cout << (keepAwakeState.saverEnabled == 1 ? "Screen saver is currently enabled"
                                                   : "Screen saver is currently disabled")
              << std::endl;
    if (const std::string why = pauseLine(); !why.empty()) {
        std::cout << why << std::endl;
    }
    if (!runLimits.quitsBy.empty()) {
        std::cout << "Quits by itself " << runLimits.quitsBy << "." << std::endl;
    }
    if (!runLimits.idleLine.empty()) {
        std::cout << runLimits.idleLine << std::endl;
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

enum class Read { command, redraw, none };

// The next command character, skipping white space as formatted input does;
// redraw when the state changed meanwhile (the machine or a control request
// paused or resumed the worker); none when no command will come: end of
// input, a failed read, a limit reached or a request to stop.
Read readCommand(char* command) {
    for (;;) {
        const Wake wake = waitServingControl(command, std::nullopt);
        if (wake == Wake::consoleByte) {
            if (!isCommandSpace(*command)) {
                return Read::command;
            }
            continue;
        }
        if (wake == Wake::consoleEnded) {
            return Read::none;
        }
        switch (handleWake(wake)) {
        case WakeOutcome::keepWaiting:
            continue;
        case WakeOutcome::stateChanged:
            return Read::redraw;
        case WakeOutcome::quit:
            return Read::none;
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
        const Read read = readCommand(&command);
        if (read == Read::redraw) {
            continue;
        }
        if (read == Read::none) {
            command = 'q';
        }

        switch (command) {
        case 'd':
            resumeByUser();
            break;
        case 'e':
            pauseByUser();
            break;
        case 'q':
            std::cout << "Waiting to exit..." << std::endl;
            return 0;
        default:
            break;
        }
    }
}
