// The limits of a run and the two ways of running without the menu.
#include <ctime>
#include <iostream>

#include "app/hotkey/hotkey.h"
#include "app/keep_awake.h"
#include "app/remote_control.h"
#include "app/timers/follow_timers.h"

namespace {

using std::chrono::system_clock;

// "17:30:00", with the date when it is not today.
std::string describeTime(system_clock::time_point when, system_clock::time_point now) {
    const std::time_t today = system_clock::to_time_t(now);
    const std::time_t then = system_clock::to_time_t(when);
    char day[16] = {};
    char date[16] = {};
    char time[16] = {};
    std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&today));
    const std::tm local = *std::localtime(&then);
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    std::string text = time;
    if (std::string(day) != date) {
        text.append(" on ").append(date);
    }
    return text;
}

// The next time the local clock shows the time of day: today, or tomorrow if
// it has passed (mktime settles daylight saving and month ends).
system_clock::time_point nextClockTime(std::chrono::seconds timeOfDay, system_clock::time_point now) {
    const std::time_t nowSeconds = system_clock::to_time_t(now);
    for (int days = 0;; ++days) {
        std::tm local = *std::localtime(&nowSeconds);
        local.tm_hour = static_cast<int>(timeOfDay.count() / 3600);
        local.tm_min = static_cast<int>(timeOfDay.count() / 60 % 60);
        local.tm_sec = static_cast<int>(timeOfDay.count() % 60);
        local.tm_mday += days;
        local.tm_isdst = -1;
        const auto target = system_clock::from_time_t(std::mktime(&local));
        if (target > now || days > 1) {
            return target;
        }
    }
}

// The --until time on the system clock, as the local clock stands now.
system_clock::time_point untilOnTheClock() {
    std::tm local = *runLimits.untilLocal;
    local.tm_isdst = -1;
    return system_clock::from_time_t(std::mktime(&local));
}

}  // namespace

std::string prepareLimits(const CommandLine& options, system_clock::time_point now) {
    std::optional<system_clock::time_point> quitTime;
    if (options.forDuration) {
        quitTime = now + *options.forDuration;
    }
    if (options.untilTime) {
        const auto until = nextClockTime(*options.untilTime, now);
        const std::time_t seconds = system_clock::to_time_t(until);
        runLimits.untilLocal = *std::localtime(&seconds);
        quitTime = quitTime ? std::min(*quitTime, until) : until;
    }
    if (quitTime) {
        runLimits.quitsBy = "at " + describeTime(*quitTime, now);
    }
    // Armed only once all is well: bad usage starts nothing.
    if (options.whilePid) {
        if (std::string problem = watchProcess(*options.whilePid); !problem.empty()) {
            return problem;
        }
        runLimits.quitsBy += (quitTime ? " or " : "") + std::string("when process ") +
                             std::to_string(*options.whilePid) + " ends";
    }
    if (!options.command.empty()) {
        runLimits.quiet = true;
        return commandUsageProblem(options.command);
    }
    runLimits.watched = (options.onlyOnAc ? watchPower : 0) | (options.pauseWhenLocked ? watchLock : 0);
    return {};
}

void armLimits(const CommandLine& options) {
    if (options.forDuration) {
        armElapsedDeadline(*options.forDuration);
    }
    if (runLimits.untilLocal) {
        armWallDeadline(untilOnTheClock());
    }
}

WakeOutcome handleWake(Wake wake) {
    switch (wake) {
    case Wake::clockSet:
        // The clock was set: the local time asked for may now stand for
        // another moment, or have come.
        if (runLimits.untilLocal) {
            armWallDeadline(untilOnTheClock());
        }
        // The hours may have opened or closed with it.
        return followConditions() ? WakeOutcome::stateChanged : WakeOutcome::keepWaiting;
    case Wake::programsChanged:
    case Wake::windowBoundary:
        return followConditions() ? WakeOutcome::stateChanged : WakeOutcome::keepWaiting;
    case Wake::machineChanged:
        return followMachine() ? WakeOutcome::stateChanged : WakeOutcome::keepWaiting;
    case Wake::hotkey:
        return followHotkey() ? WakeOutcome::stateChanged : WakeOutcome::keepWaiting;
    case Wake::displayChanged:
        // The desktop module said so already; the worker sets its timer anew,
        // and whether the timers' pace matters may have changed with it.
        postReplanMessage(keepAwakeState.workerThreadId);
        timers::settle();
        return WakeOutcome::keepWaiting;
    case Wake::sessionIdle:
        // A held worker sends nothing: a pause is a pause. Its resume asks
        // the session afresh (resumeDisplayKeepAwake).
        if (keepAwakeState.saverEnabled == 0) {
            // Nobody looks through the processes while someone works: the
            // timers are read here, once per interval of idleness.
            if (timers::follow()) {
                followOnlyWhenIdle();
            }
            postNudgeMessage(keepAwakeState.workerThreadId);
        }
        return WakeOutcome::keepWaiting;
    case Wake::timersChanged:
        // The status says the new interval; the menu's screen stays as it is.
        if (timers::follow() && runLimits.onlyWhenIdle) {
            followOnlyWhenIdle();  // told after the new interval of idleness
        }
        return WakeOutcome::keepWaiting;
    case Wake::controlRequest:
        return WakeOutcome::stateChanged;  // a remote pause or resume: the screen shows it
    case Wake::consoleByte:
    case Wake::commandEnded:
        return WakeOutcome::keepWaiting;
    default:
        return WakeOutcome::quit;
    }
}

int waitForLimit() {
    // Only a limit or a stop request ends the run, as "q" does.
    while (handleWake(waitServingControl(nullptr, std::nullopt)) != WakeOutcome::quit) {
    }
    std::cout << "Waiting to exit..." << std::endl;
    return 0;
}

int startCommandNow(const std::vector<std::string>& command) {
    std::string problem;
    const int failed = startCommand(command, &problem);
    if (failed != 0) {
        std::cerr << "keepawake: " << problem << std::endl;
    }
    return failed;
}

int waitForCommand() {
    // Stop requests go to the command; only its end returns here.
    for (;;) {
        const Wake wake = waitServingControl(nullptr, std::nullopt);
        if (wake == Wake::stopRequested) {
            passStopToCommand();
        } else if (wake == Wake::machineChanged || wake == Wake::clockSet || wake == Wake::displayChanged ||
                   wake == Wake::programsChanged || wake == Wake::windowBoundary || wake == Wake::hotkey ||
                   wake == Wake::timersChanged || wake == Wake::sessionIdle) {
            handleWake(wake);
        } else {
            return commandExitStatus();  // its end, or a wait that cannot go on
        }
    }
}
