#include <cmath>

#include "app/keep_awake.h"

std::uint32_t queryScreenSaverTimeout() {
    return readScreenSaverTimeout();
}

std::uint32_t computeNudgeInterval(std::uint32_t timeoutSeconds) {
    // Short timeouts get a fast nudge: 30 milliseconds, not seconds.
    if (timeoutSeconds <= 60) {
        return 30;
    }
    // One eightieth of the timeout. Huge settings (or negative ones read as
    // unsigned) would overflow; saturate instead of converting out of range.
    const double intervalMs = std::floor(static_cast<double>(timeoutSeconds) * 12.5);
    if (intervalMs >= static_cast<double>(longestNudgeIntervalMs)) {
        return longestNudgeIntervalMs;
    }
    return static_cast<std::uint32_t>(intervalMs);
}
