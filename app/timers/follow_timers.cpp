#include "app/timers/follow_timers.h"

#include "app/keep_awake.h"
#include "app/timers/session_timers.h"

namespace timers {

namespace {

bool fixedByUser = false;
bool watching = false;
bool held = false;  // the watch is held: the pace does not matter now
bool idleTells = false;  // --only-when-idle, told by the session
std::string pacedBy;  // "xscreensaver's 2 min"; empty when no timer is known

std::uint32_t readInterval() {
    const std::vector<SessionTimer> timers = readSessionTimers();
    const SessionTimer* pacing = pacingTimer(timers);
    pacedBy = pacing != nullptr ? describeTimer(*pacing) : std::string();
    return intervalFor(timers);
}

}  // namespace

std::uint32_t start(const CommandLine& options) {
    fixedByUser = options.intervalMs.has_value();
    watching = false;
    idleTells = false;
    pacedBy.clear();
    if (fixedByUser) {
        return *options.intervalMs;
    }
    return readInterval();
}

void watch() {
    watching = !fixedByUser;
    held = false;
    if (watching) {
        watchSessionTimers();
        settle();
    }
}

bool nudgesAtTheInterval(const KeepAwakeWay& way) {
    return way.keeps && way.words.find("zero moves every ") != std::string::npos;
}

void toldWhenIdle(bool told) {
    idleTells = told;
    settle();
}

void settle() {
    if (!watching) {
        return;
    }
    const bool matters = keepAwakeState.saverEnabled == 0 && !idleTells &&
                         nudgesAtTheInterval(describeKeepAwake(keepAwakeState.nudgeIntervalMs));
    if (matters == !held) {
        return;
    }
    // Looking again starts with a look at once: what came meanwhile
    // arrives as a change, through the wait, so a resume never waits on it.
    held = !matters;
    holdSessionTimersWatch(held);
}

bool follow() {
    if (fixedByUser) {
        return false;
    }
    const std::uint32_t interval = readInterval();
    if (interval == keepAwakeState.nudgeIntervalMs) {
        return false;
    }
    keepAwakeState.nudgeIntervalMs = interval;
    postReplanMessage(keepAwakeState.workerThreadId, interval);
    return true;
}

std::string statusWords() {
    return fixedByUser || pacedBy.empty() ? std::string() : ", for " + pacedBy;
}

}  // namespace timers
