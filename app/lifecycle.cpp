#include <cstdio>
#include <iostream>

#include "app/keep_awake.h"
#include "keepawake/worker.h"

KeepAwakeState keepAwakeState{0, nullptr, 0, 0};

bool pauseWorker(ThreadHandle worker) {
    suspendThread(worker);
    return true;
}

bool resumeWorker(ThreadHandle worker) {
    resumeThread(worker);
    return true;
}

int runKeepAwake() {
    // First of all, so the worker is brought down in order on every exit,
    // including the failed start below.
    registerExitHook(shutdownHook);

    keepAwakeState.nudgeIntervalMs = computeNudgeInterval(queryScreenSaverTimeout());

    keepAwakeState.workerThread = beginThread(keepAwakeWorker, workerArgument(keepAwakeState.nudgeIntervalMs),
                                              &keepAwakeState.workerThreadId);
    if (keepAwakeState.workerThread == nullptr) {
        std::printf("Cannot start time thread.\n");
        return -1;
    }

    return runMenuLoop();
}

void shutdownHook() {
    // A held worker would never see the stop request.
    if (keepAwakeState.saverEnabled == 1) {
        resumeWorker(keepAwakeState.workerThread);
    }
    postQuitMessage(keepAwakeState.workerThreadId);
    waitForThread(keepAwakeState.workerThread);
    closeThreadHandle(keepAwakeState.workerThread);
    closeDisplay();

    std::cout << "Thread closed and cleaned up." << std::endl << std::endl;
}
