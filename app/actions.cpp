// What "e" and "d" do, from the menu or through the endpoint.
#include "app/keep_awake.h"
#include "app/remote_control.h"

void pauseKeepAwake() {
    // Hold at most one level deep: a single "d" or the exit must always be
    // enough to release the worker.
    if (keepAwakeState.saverEnabled == 0) {
        // Held first, so no nudge follows the display's release.
        pauseWorker(keepAwakeState.workerThread);
        pauseDisplayKeepAwake();
        keepAwakeState.saverEnabled = 1;
        noteStateChanged();
    }
}

void resumeKeepAwake() {
    const bool wasPaused = keepAwakeState.saverEnabled != 0;
    resumeDisplayKeepAwake();
    resumeWorker(keepAwakeState.workerThread);
    keepAwakeState.saverEnabled = 0;
    if (wasPaused) {
        noteStateChanged();
    }
}
