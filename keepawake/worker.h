// The background thread that keeps the desktop from going idle.
#pragma once

#include "platform/platform.h"

// Thread entry. The argument is the nudge interval in milliseconds, passed by
// value. Returns 0 after the stop request has arrived.
unsigned PLATFORM_CALLBACK keepAwakeWorker(void* intervalMs);

// Timer callback: sends one zero-distance relative mouse move.
void PLATFORM_CALLBACK nudgeTimerProc(PlatformWindow window, unsigned message,
                                      std::uintptr_t timerId, PlatformTime time);

// Packs an interval into the thread argument that keepAwakeWorker takes.
inline void* workerArgument(std::uint32_t intervalMs) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(intervalMs));
}
