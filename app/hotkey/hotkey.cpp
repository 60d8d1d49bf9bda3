#include "app/hotkey/hotkey.h"

#include <iostream>

#include "app/keep_awake.h"

namespace {

bool registered = false;

}  // namespace

void startHotkey(const std::optional<Hotkey>& hotkey) {
    registered = hotkey.has_value();
    if (!hotkey) {
        return;
    }
    if (const std::string problem = registerHotkey(*hotkey); !problem.empty()) {
        std::cerr << "keepawake: " << problem << std::endl;
    }
}

bool followHotkey() {
    std::string problem;
    const int presses = takeHotkeyPresses(&problem);
    if (!problem.empty()) {
        std::cerr << "keepawake: " << problem << std::endl;
    }
    for (int i = 0; i < presses; ++i) {
        // As --toggle: pause while awake, otherwise resume.
        if (keepAwakeState.saverEnabled == 0) {
            pauseByUser();
        } else {
            resumeByUser();
        }
    }
    // Redrawn even when the machine still holds the worker: the press was seen.
    return presses > 0;
}

void stopHotkey() {
    if (registered) {
        registered = false;
        releaseHotkey();
    }
}
