// Picks, once, how this session is kept awake, and sends every display call
// of platform.h to that binding.
#include "platform/linux/linux_display.h"

namespace {

struct DisplayBinding {
    std::uint32_t (*readScreenSaverTimeout)();
    void (*sendMouseInput)(const MouseInput& input);
    void (*pauseKeepAwake)();
    void (*resumeKeepAwake)();
    void (*closeDisplay)();
};

void nothing() {}

const DisplayBinding x11Binding{x11ReadScreenSaverTimeout, x11SendMouseInput, nothing, nothing, x11CloseDisplay};

const DisplayBinding& pickBinding() {
    return x11Binding;
}

// Chosen on the first display call, which start-up makes on the main thread
// before the worker exists.
const DisplayBinding& binding() {
    static const DisplayBinding& chosen = pickBinding();
    return chosen;
}

}  // namespace

std::uint32_t readScreenSaverTimeout() {
    return binding().readScreenSaverTimeout();
}

void sendMouseInput(const MouseInput& input) {
    binding().sendMouseInput(input);
}

void pauseDisplayKeepAwake() {
    binding().pauseKeepAwake();
}

void resumeDisplayKeepAwake() {
    binding().resumeKeepAwake();
}

void closeDisplay() {
    binding().closeDisplay();
}
