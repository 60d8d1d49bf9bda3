#include "tests/support/counting_input.h"

#include "platform/platform.h"

namespace counting {

std::atomic<int> nudges{0};
std::atomic<int> otherInputs{0};
std::atomic<long> periodMs{-1};

}  // namespace counting

std::uint32_t readScreenSaverTimeout() {
    return 0;
}

void sendMouseInput(const MouseInput& input) {
    const bool zeroMove = input.dx == 0 && input.dy == 0 && input.mouseData == 0 && input.dwFlags == mouseEventMove &&
                          input.time == 0 && input.dwExtraInfo == 0;
    ++(zeroMove ? counting::nudges : counting::otherInputs);
}

std::uint32_t keepAwakePeriod(std::uint32_t nudgeIntervalMs) {
    const long period = counting::periodMs;
    return period < 0 ? nudgeIntervalMs : static_cast<std::uint32_t>(period);
}

KeepAwakeWay describeKeepAwake(std::uint32_t nudgeIntervalMs) {
    return {true, "by zero moves every " + std::to_string(nudgeIntervalMs) + " ms"};
}

std::optional<InputTimes> readInputTimes() {
    return std::nullopt;
}
