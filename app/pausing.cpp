// Why the worker is held, and the one way it is held and released: the
// user's "e" and "d", the machine's changes and the conditions the run waits
// for all end here.
#include "app/conditions/run_conditions.h"
#include "app/keep_awake.h"
#include "app/remote_control.h"
#include "app/timers/follow_timers.h"

PauseReasons pauseReasons;

namespace {

// Everything but the user: what a "d" cannot override.
bool othersHold() {
    return pauseReasons.onBattery || pauseReasons.locked || pauseReasons.noProgram || pauseReasons.outOfHours;
}

// Holds or releases the worker to match the reasons; true when it changed.
bool settle() {
    const bool hold = pauseReasons.user || othersHold();
    if (hold == (keepAwakeState.saverEnabled == 1)) {
        return false;
    }
    if (hold) {
        // Held first, so no nudge follows the display's release.
        pauseWorker(keepAwakeState.workerThread);
        pauseDisplayKeepAwake();
        keepAwakeState.saverEnabled = 1;
    } else {
        resumeDisplayKeepAwake();
        resumeWorker(keepAwakeState.workerThread);
        keepAwakeState.saverEnabled = 0;
    }
    noteStateChanged();
    timers::settle();
    return true;
}

// Settles after the update; true when whether or why it is held changed.
template <typename Update>
bool follow(Update update) {
    const std::string lineBefore = pauseLine();
    update();
    // A new reason is news for the screen even where the user holds it too.
    const bool changed = settle();
    return changed || pauseLine() != lineBefore;
}

}  // namespace

void pauseByUser() {
    pauseReasons.user = true;
    // Hold at most one level deep: a single "d" or the exit must always be
    // enough to release the worker.
    settle();
}

void resumeByUser() {
    pauseReasons.user = false;
    if (othersHold()) {
        return;  // the machine or a condition still holds it; its change releases it
    }
    // As always: a "d" releases the worker whatever the screen said.
    const bool wasHeld = keepAwakeState.saverEnabled != 0;
    resumeDisplayKeepAwake();
    resumeWorker(keepAwakeState.workerThread);
    keepAwakeState.saverEnabled = 0;
    if (wasHeld) {
        noteStateChanged();
        timers::settle();
    }
}

bool followMachine() {
    const MachineState state = readMachineState();
    return follow([&] {
        pauseReasons.onBattery = (runLimits.watched & watchPower) != 0 && state.onBattery;
        pauseReasons.locked = (runLimits.watched & watchLock) != 0 && state.locked;
    });
}

bool followConditions() {
    return follow([] { conditions::update(std::chrono::system_clock::now()); });
}

std::string pauseLine() {
    std::vector<std::string> parts;
    if (pauseReasons.onBattery && pauseReasons.locked) {
        parts.push_back("while on battery and the session is locked");
    } else if (pauseReasons.onBattery) {
        parts.push_back("while on battery");
    } else if (pauseReasons.locked) {
        parts.push_back("while the session is locked");
    }
    for (std::string& part : conditions::pauseParts()) {
        parts.push_back(std::move(part));
    }
    if (parts.empty()) {
        return {};
    }
    // "Paused while on battery, until obs runs and until 09:00."
    std::string line = "Paused";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        line += (i == 0 ? " " : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    }
    return line + ".";
}
