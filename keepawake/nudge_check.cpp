#include "keepawake/nudge_check.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace {

std::atomic<bool> checkWanted{true};
// The worker's own: whether the last verdict was "not counted", and a nudge
// not yet seen counted, judged at the next tick.
bool warned = false;
std::optional<std::uint32_t> unsettledTick;

// Tick counts wrap after 49.7 days; the difference stays right across it.
bool reached(std::uint32_t lastInput, std::uint32_t tick) {
    return static_cast<std::int32_t>(lastInput - tick) >= 0;
}

void verdict(bool counted) {
    if (counted != warned) {
        return;  // no change: nothing to say
    }
    warned = !counted;
    std::fputs(counted ? "keepawake: Windows counts the nudges as activity again.\n"
                       : "keepawake: Windows did not count the nudge as activity; the screen saver may start.\n",
               stderr);
    std::fflush(stderr);
}

}  // namespace

void startNudgeChecks() {
    checkWanted = true;
    warned = false;
    unsettledTick.reset();
}

void checkNextNudge() {
    checkWanted = true;
}

void sendCheckedNudge(const MouseInput& nudge) {
    if (unsettledTick) {
        // The system may take the input in a moment after SendInput returns:
        // a nudge not seen at once is judged one interval later. Input of the
        // user's since then counts too; it keeps the desktop awake as well.
        if (const auto times = readInputTimes()) {
            const bool wasWarned = warned;
            verdict(reached(times->lastInput, *unsettledTick));
            // A recovery seen this late may have been the user's own input:
            // the next nudge is checked again.
            if (wasWarned && !warned) {
                checkWanted = true;
            }
        }
        unsettledTick.reset();
    }

    const bool check = checkWanted.exchange(false) || warned;
    const std::optional<InputTimes> before = check ? readInputTimes() : std::nullopt;
    sendMouseInput(nudge);
    if (!before) {
        return;
    }
    const std::optional<InputTimes> after = readInputTimes();
    if (after && reached(after->lastInput, before->now)) {
        verdict(true);
    } else {
        unsettledTick = before->now;
    }
}
