#include <cstdio>
#include <iostream>

#include "app/diagnose/diagnose.h"
#include "app/conditions/run_conditions.h"
#include "app/hotkey/hotkey.h"
#include "app/keep_awake.h"
#include "app/remote_control.h"
#include "app/timers/follow_timers.h"
#include "keepawake/nudge_check.h"
#include "keepawake/worker.h"

KeepAwakeState keepAwakeState{0, nullptr, 0, 0};
RunLimits runLimits;

bool pauseWorker(ThreadHandle worker) {
    suspendThread(worker);
    return true;
}

bool resumeWorker(ThreadHandle worker) {
    resumeThread(worker);
    // Whether the system still counts the nudges is asked again after each
    // pause: it may have changed meanwhile.
    checkNextNudge();
    return true;
}

int runKeepAwake(const std::vector<std::string>& arguments) {
    // Bad usage ends here, before the exit hook, the worker or any nudge.
    CommandLine options;
    runLimits = RunLimits{};
    pauseReasons = PauseReasons{};
    conditions::start(CommandLine{});
    if (const auto status = parseCommandLine(arguments, &options, std::cout, std::cerr)) {
        return *status;
    }
    if (options.control) {
        return runControlClient(*options.control, std::cout, std::cerr);
    }
    if (options.diagnose) {
        return runDiagnose(std::cout);
    }
    if (const std::string problem = prepareLimits(options, std::chrono::system_clock::now()); !problem.empty()) {
        reportUsageError(std::cerr, problem);
        return usageErrorStatus;
    }

    // First of all, so the worker is brought down in order on every exit,
    // including the failed start below.
    registerExitHook(shutdownHook);
    // Without arguments Ctrl+C ends the program as it always did.
    if (!arguments.empty()) {
        catchStopRequests();
    }
    armLimits(options);
    // The machine's first state arrives as a change, once the worker runs.
    if (runLimits.watched != 0) {
        watchMachine(runLimits.watched);
    }

    // A command needs no interval: it starts at once, and the first nudge
    // follows once the display has answered.
    if (!options.command.empty()) {
        if (const int failed = startCommandNow(options.command); failed != 0) {
            return failed;
        }
    }

    // The interval follows the shortest timer that input holds off in this
    // session, whichever watcher keeps it.
    keepAwakeState.nudgeIntervalMs = timers::start(options);
    nudgeOnlyWhenIdle(options.onlyWhenIdle);
    if (options.onlyWhenIdle) {
        runLimits.onlyWhenIdle = true;
        followOnlyWhenIdle();
    }

    keepAwakeState.workerThread = beginThread(keepAwakeWorker, workerArgument(keepAwakeState.nudgeIntervalMs),
                                              &keepAwakeState.workerThreadId);
    if (keepAwakeState.workerThread == nullptr) {
        std::fprintf(runLimits.quiet ? stderr : stdout, "Cannot start time thread.\n");
        if (!options.command.empty()) {
            // The command's work is never cut short; the failure is still
            // the status, once it has ended.
            waitForCommand();
        }
        return -1;
    }

    // The programs and hours asked for hold the run from its first screen.
    timers::watch();
    conditions::start(options);
    followConditions();
    startControl(options);
    startHotkey(options.hotkey);
    if (!options.command.empty()) {
        return waitForCommand();
    }
    return options.noMenu ? waitForLimit() : runMenuLoop();
}

void followOnlyWhenIdle() {
    // Before the worker starts: it plans its timer from how idleness is told.
    static std::string said;
    runLimits.idleLine = "Nudges only once nobody has used the session for an interval.";
    const std::string why = watchSessionIdle(keepAwakeState.nudgeIntervalMs);
    timers::toldWhenIdle(why.empty());
    if (why.empty()) {
        said.clear();
        return;
    }
    if (why != said) {
        std::fprintf(stderr, "keepawake: --only-when-idle: %s; nudging on its timer.\n", why.c_str());
        std::fflush(stderr);
        said = why;
    }
    runLimits.idleLine = "Nudges on its timer: this session does not tell when it is idle.";
}

void shutdownHook() {
    stopHotkey();
    // A held worker would never see the stop request.
    if (keepAwakeState.saverEnabled == 1) {
        resumeWorker(keepAwakeState.workerThread);
    }
    postQuitMessage(keepAwakeState.workerThreadId);
    waitForThread(keepAwakeState.workerThread);
    closeThreadHandle(keepAwakeState.workerThread);
    closeDisplay();

    if (runLimits.quiet) {
        return;
    }
    std::cout << "Thread closed and cleaned up." << std::endl << std::endl;
}
