#include "keepawake/worker.h"

#include "keepawake/nudge_check.h"

namespace {

struct Plan {
    std::uint32_t periodMs = 0;
    std::uintptr_t timerId = 0;
};

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
    current->timerId = period != 0 ? setTimer(period, nudgeTimerProc) : 0;
}

}  // namespace

unsigned PLATFORM_CALLBACK keepAwakeWorker(void* intervalMs) {
    auto interval = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(intervalMs));

    startNudgeChecks();
    Plan current;
    plan(interval, &current);

    ThreadMessage message{};
    while (getMessage(&message)) {
        if (message.message == replanMessage) {
            // The session's timers changed: a new interval comes with it.
            if (message.wParam != 0) {
                interval = static_cast<std::uint32_t>(message.wParam);
            }
            plan(interval, &current);
            continue;
        }
        dispatchMessage(&message);
    }

    killTimer(current.timerId);
    return 0;
}

void PLATFORM_CALLBACK nudgeTimerProc(PlatformWindow, unsigned, std::uintptr_t, PlatformTime) {
    // Zero distance: the system sees activity, the pointer stays put.
    MouseInput nudge{};
    nudge.dwFlags = mouseEventMove;
    sendCheckedNudge(nudge);
}
