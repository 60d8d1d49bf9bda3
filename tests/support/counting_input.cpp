#include "tests/support/counting_input.h"

#include "platform/platform.h"

namespace counting {

std::atomic<int> nudges{0};
std::atomic<int> otherInputs{0};

}  // namespace counting

std::uint32_t readScreenSaverTimeout() {
    return 0;
}

void sendMouseInput(const MouseInput& input) {
    const bool zeroMove = input.dx == 0 && input.dy == 0 && input.mouseData == 0 && input.dwFlags == mouseEventMove &&
                          input.time == 0 && input.dwExtraInfo == 0;
    ++(zeroMove ? counting::nudges : counting::otherInputs);
}

bool displayTakesNudges() {
    return true;
}

std::optional<InputTimes> readInputTimes() {
    return std::nullopt;
}
