// The background thread that keeps the desktop from going idle.
#pragma once

#include "platform/platform.h"

// Thread entry. The argument is the nudge interval in milliseconds, passed by
// value. Returns 0 after the stop request has arrived.
unsigned PLATFORM_CALLBACK keepAwakeWorker(void* intervalMs);

// --only-when-idle, set before the worker starts. Where the system tells the
// time of the last input (readInputTimes), a nudge that comes due less than
// one interval after some input waits until one interval after it; where the
// session tells idleness itself, a nudgeMessage brings each nudge.
void nudgeOnlyWhenIdle(bool on);

// Timer callback: sends one zero-distance relative mouse move.
void PLATFORM_CALLBACK nudgeTimerProc(PlatformWindow window, unsigned message,
                                      std::uintptr_t timerId, PlatformTime time);

// Packs an interval into the thread argument that keepAwakeWorker takes.
inline void* workerArgument(std::uint32_t intervalMs) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(intervalMs));
}
