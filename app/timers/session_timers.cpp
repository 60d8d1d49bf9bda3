#include "app/timers/session_timers.h"

#include "app/keep_awake.h"

namespace timers {

const SessionTimer* pacingTimer(const std::vector<SessionTimer>& timers) {
    const SessionTimer* shortest = nullptr;
    for (const SessionTimer& timer : timers) {
        // Another session's watcher, one nudges cannot hold off, or one that
        // is off says nothing about how often to nudge here.
        if (!timer.thisSession || !timer.unreadable.empty() || timer.seconds == 0 ||
            (timer.heldBy & heldByNudge) == 0) {
            continue;
        }
        // Of equal timers, the watcher's is named: some set the X server's
        // to their own.
        if (shortest == nullptr || timer.seconds < shortest->seconds ||
            (timer.seconds == shortest->seconds && shortest->systemSaver && !timer.systemSaver)) {
            shortest = &timer;
        }
    }
    return shortest;
}

std::uint32_t intervalFor(const std::vector<SessionTimer>& timers) {
    const SessionTimer* pacing = pacingTimer(timers);
    return computeNudgeInterval(pacing != nullptr ? pacing->seconds : 0);
}

std::string describeSeconds(std::uint32_t seconds) {
    if (seconds == 0) {
        return "off";
    }
    if (seconds % 60 != 0 || seconds < 120) {
        return seconds % 60 == 0 && seconds == 60 ? "1 min" : std::to_string(seconds) + " s";
    }
    const std::uint32_t minutes = seconds / 60;
    if (minutes % 60 == 0) {
        return std::to_string(minutes / 60) + " h";
    }
    if (minutes > 60) {
        return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
    }
    return std::to_string(minutes) + " min";
}

std::string describeTimer(const SessionTimer& timer) {
    return timer.watcher + "'s " + describeSeconds(timer.seconds);
}

}  // namespace timers
