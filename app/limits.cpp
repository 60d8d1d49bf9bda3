// The limits of a run and the two ways of running without the menu.
#include <ctime>
#include <iostream>

#include "app/keep_awake.h"
#include "app/remote_control.h"

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

}  // namespace

std::string prepareLimits(const CommandLine& options, system_clock::time_point now) {
    std::optional<system_clock::time_point> quitTime;
    if (options.forDuration) {
        quitTime = now + *options.forDuration;
    }
    if (options.untilTime) {
        const auto until = nextClockTime(*options.untilTime, now);
        quitTime = quitTime ? std::min(*quitTime, until) : until;
    }
    if (quitTime) {
        // Measured on the steady clock from here: a change of the wall clock
        // does not move it.
        runLimits.deadline = std::chrono::steady_clock::now() +
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(*quitTime - now);
        runLimits.quitsBy = "at " + describeTime(*quitTime, now);
    }
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
    return {};
}

int waitForLimit() {
    // Only a limit or a stop request returns; either ends the run as "q".
    waitServingControl(nullptr, runLimits.deadline);
    std::cout << "Waiting to exit..." << std::endl;
    return 0;
}

int runCommand(const std::vector<std::string>& command) {
    std::string problem;
    if (const int failed = startCommand(command, &problem); failed != 0) {
        std::cerr << "keepawake: " << problem << std::endl;
        return failed;
    }
    // Stop requests go to the command; only its end returns here.
    while (waitServingControl(nullptr, std::nullopt) == Wake::stopRequested) {
        passStopToCommand();
    }
    return commandExitStatus();
}
