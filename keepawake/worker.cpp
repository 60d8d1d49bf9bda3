#include "keepawake/worker.h"

#include <algorithm>
#include <atomic>

#include "keepawake/nudge_check.h"

namespace {

struct Plan {
    std::uint32_t periodMs = 0;
    std::uintptr_t timerId = 0;
    std::uint32_t armedMs = 0;  // the timer's own period: periodMs, or what is left of a wait
};

std::atomic<bool> onlyWhenIdle{false};
Plan running;  // the worker's own

// Sets the running timer to a new period, from now.
void rearm(std::uint32_t periodMs) {
    killTimer(running.timerId);
    running.armedMs = periodMs;
    running.timerId = setTimer(periodMs, nudgeTimerProc);
}

// --only-when-idle where the system tells the last input: true when the
// session has been idle one whole interval, or nothing says otherwise.
// Otherwise the timer is set for the rest of the interval after that input,
// so that a user at work costs one wake-up an interval. The tick counts
// are coarse (Windows: about 16 ms), so a little short of the interval is a
// whole one.
bool idleLongEnough() {
    if (!onlyWhenIdle || running.periodMs == 0) {
        return true;
    }
    const std::optional<InputTimes> times = readInputTimes();
    if (!times) {
        return true;
    }
    // Right across the wrap too; input read as later than now came just now.
    const std::uint32_t idle =
        static_cast<std::uint32_t>(std::max<std::int32_t>(0, static_cast<std::int32_t>(times->now - times->lastInput)));
    const std::uint32_t slack = std::min<std::uint32_t>(16, running.periodMs / 4);
    if (std::uint64_t{idle} + slack >= running.periodMs) {
        if (running.armedMs != running.periodMs) {
            rearm(running.periodMs);  // the nudge below starts the next interval
        }
        return true;
    }
    rearm(running.periodMs - idle);
    return false;
}

// Sets the timer the session needs now, or none: a session kept awake by an
// inhibitor alone gets no wake-ups at all. An unchanged period keeps its
// timer and phase. A failed timer is not reported: the loop still waits for
// the stop.
void plan(std::uint32_t intervalMs, Plan* current) {
    const std::uint32_t period = keepAwakePeriod(intervalMs);
    if (period == current->periodMs && (period == 0 || current->timerId != 0)) {
        return;
    }
    if (current->timerId != 0) {
        killTimer(current->timerId);
    }
    current->periodMs = period;
    current->armedMs = period;
    current->timerId = period != 0 ? setTimer(period, nudgeTimerProc) : 0;
}

}  // namespace

unsigned PLATFORM_CALLBACK keepAwakeWorker(void* intervalMs) {
    auto interval = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(intervalMs));

    startNudgeChecks();
    running = Plan{};
    plan(interval, &running);

    ThreadMessage message{};
    while (getMessage(&message)) {
        if (message.message == replanMessage) {
            // The session's timers changed: a new interval comes with it.
            if (message.wParam != 0) {
                interval = static_cast<std::uint32_t>(message.wParam);
            }
            plan(interval, &running);
            continue;
        }
        if (message.message == nudgeMessage) {
            nudgeTimerProc(nullptr, 0, 0, 0);  // the session said it has been idle an interval
            continue;
        }
        dispatchMessage(&message);
    }

    killTimer(running.timerId);
    return 0;
}

void nudgeOnlyWhenIdle(bool on) {
    onlyWhenIdle = on;
}

void PLATFORM_CALLBACK nudgeTimerProc(PlatformWindow, unsigned, std::uintptr_t, PlatformTime) {
    if (!idleLongEnough()) {
        return;
    }
    // Zero distance: the system sees activity, the pointer stays put.
    MouseInput nudge{};
    nudge.dwFlags = mouseEventMove;
    sendCheckedNudge(nudge);
}
