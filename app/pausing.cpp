// Why the worker is held, and the one way it is held and released: the
// user's "e" and "d" and the machine's changes all end here.
#include "app/keep_awake.h"
#include "app/remote_control.h"

PauseReasons pauseReasons;

namespace {

bool machineHolds() {
    return pauseReasons.onBattery || pauseReasons.locked;
}

// Holds or releases the worker to match the reasons; true when it changed.
bool settle() {
    const bool hold = pauseReasons.user || machineHolds();
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
    return true;
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
    if (machineHolds()) {
        return;  // the machine still holds it; its own change releases it
    }
    // As always: a "d" releases the worker whatever the screen said.
    const bool wasHeld = keepAwakeState.saverEnabled != 0;
    resumeDisplayKeepAwake();
    resumeWorker(keepAwakeState.workerThread);
    keepAwakeState.saverEnabled = 0;
    if (wasHeld) {
        noteStateChanged();
    }
}

bool followMachine() {
    const MachineState state = readMachineState();
    const std::string lineBefore = machinePauseLine();
    pauseReasons.onBattery = (runLimits.watched & watchPower) != 0 && state.onBattery;
    pauseReasons.locked = (runLimits.watched & watchLock) != 0 && state.locked;
    // A new reason is news for the screen even where the user holds it too.
    const bool changed = settle();
    return changed || machinePauseLine() != lineBefore;
}

std::string machinePauseLine() {
    if (pauseReasons.onBattery && pauseReasons.locked) {
        return "Paused while on battery and the session is locked.";
    }
    if (pauseReasons.onBattery) {
        return "Paused while on battery.";
    }
    if (pauseReasons.locked) {
        return "Paused while the session is locked.";
    }
    return {};
}
