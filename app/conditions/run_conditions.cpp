#include "app/conditions/run_conditions.h"

#include <ctime>
#include <optional>

#include "app/conditions/program_names.h"
#include "app/keep_awake.h"

namespace conditions {

namespace {

using std::chrono::system_clock;

std::vector<std::string> programs;
std::optional<Schedule> schedule;
std::string nextChange;  // "09:00 on Monday": when the hours next open or close; empty if never

bool matchesWanted(std::string_view fileName, NameRules rules) {
    for (const std::string& name : programs) {
        if (programNameMatches(name, fileName, rules)) {
            return true;
        }
    }
    return false;
}

// The boundary as a time of the system clock. In the hour a clock set back
// for daylight saving repeats, the later of the two is taken when the
// earlier has passed; a boundary that never comes on the clock (skipped
// forward) is checked again in a second rather than missed.
system_clock::time_point onTheClock(const std::tm& today, const Boundary& boundary, system_clock::time_point now) {
    for (const int isDst : {-1, 0}) {
        std::tm local = today;
        local.tm_mday += boundary.daysAhead;
        local.tm_hour = boundary.second / 3600;
        local.tm_min = boundary.second / 60 % 60;
        local.tm_sec = boundary.second % 60;
        local.tm_isdst = isDst;
        const std::time_t when = std::mktime(&local);
        if (when != static_cast<std::time_t>(-1) && system_clock::from_time_t(when) > now) {
            return system_clock::from_time_t(when);
        }
    }
    return now + std::chrono::seconds(1);
}

}  // namespace

void start(const CommandLine& options) {
    programs = options.whileRunning;
    schedule.reset();
    nextChange.clear();
    if (!options.during.empty() || options.days) {
        schedule = Schedule{options.during, options.days.value_or(everyDay)};
    }
    if (!programs.empty()) {
        watchPrograms(matchesWanted);
    }
}

void update(system_clock::time_point now) {
    pauseReasons.noProgram = !programs.empty() && !programRuns();
    if (!schedule) {
        return;
    }
    const std::time_t seconds = system_clock::to_time_t(now);
    const std::tm local = *std::localtime(&seconds);
    const LocalMoment moment{local.tm_wday, local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec};
    pauseReasons.outOfHours = !inside(*schedule, moment);
    const auto boundary = nextBoundary(*schedule, moment);
    nextChange.clear();
    if (boundary) {
        nextChange = describeBoundary(*boundary, local.tm_wday);
        armWindowBoundary(onTheClock(local, *boundary, now));
    }
}

std::vector<std::string> pauseParts() {
    std::vector<std::string> parts;
    if (pauseReasons.noProgram) {
        parts.push_back("until " + describeNames(programs) + " runs");
    }
    if (pauseReasons.outOfHours) {
        parts.push_back(nextChange.empty() ? "out of hours" : "until " + nextChange);
    }
    return parts;
}

std::string statusDetails() {
    std::string details;
    if (!programs.empty()) {
        details += (pauseReasons.noProgram ? ", until " : ", while ") + describeNames(programs) + " runs";
    }
    if (schedule) {
        details += pauseReasons.outOfHours ? ", out of hours" : ", in hours";
        if (!nextChange.empty()) {
            details += " until " + nextChange;
        }
    }
    return details;
}

}  // namespace conditions
