#include "keepawake/worker.h"

#include "keepawake/nudge_check.h"

unsigned PLATFORM_CALLBACK keepAwakeWorker(void* intervalMs) {
    const auto interval = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(intervalMs));

    startNudgeChecks();
    // A failed timer is not reported: the loop below still waits for the stop.
    // Where nothing can take a nudge, no timer: the worker only waits.
    const std::uintptr_t timerId = displayTakesNudges() ? setTimer(interval, nudgeTimerProc) : 0;

    ThreadMessage message{};
    while (getMessage(&message)) {
        dispatchMessage(&message);
    }

    killTimer(timerId);
    return 0;
}

void PLATFORM_CALLBACK nudgeTimerProc(PlatformWindow, unsigned, std::uintptr_t, PlatformTime) {
    // Zero distance: the system sees activity, the pointer stays put.
    MouseInput nudge{};
    nudge.dwFlags = mouseEventMove;
    sendCheckedNudge(nudge);
}
