// Picks, once, how this session is kept awake, and sends every display call
// of platform.h to that binding. A Wayland session never gets XTEST: its
// Xwayland accepts the fake moves and the desktop ignores them.
#include "platform/linux/linux_display.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/desktop_loader.h"

namespace {

struct DisplayBinding {
    std::uint32_t (*readScreenSaverTimeout)();
    void (*sendMouseInput)(const MouseInput& input);
    void (*pauseKeepAwake)();
    void (*resumeKeepAwake)();
    void (*closeDisplay)();
};

void nothing() {}
void noInput(const MouseInput&) {}
std::uint32_t noTimeout() {
    return 0;
}

const DisplayBinding x11Binding{x11ReadScreenSaverTimeout, x11SendMouseInput, nothing, nothing, x11CloseDisplay};
const DisplayBinding noBinding{noTimeout, noInput, nothing, nothing, nothing};

// The module's table, once it was loaded and started.
const DesktopBinding* desktop = nullptr;

std::uint32_t desktopReadTimeout() {
    return desktop->readScreenSaverTimeout();
}
void desktopSendMouseInput(const MouseInput& input) {
    // As on X11, only relative moves are acted on.
    if ((input.dwFlags & mouseEventMove) != 0 && (input.dwFlags & mouseEventAbsolute) == 0) {
        desktop->nudge();
    }
}
void desktopPause() {
    desktop->pause();
}
void desktopResume() {
    desktop->resume();
}
void desktopClose() {
    desktop->close();
}

const DisplayBinding desktopBinding{desktopReadTimeout, desktopSendMouseInput, desktopPause, desktopResume,
                                    desktopClose};

bool isWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && display[0] != '\0') || (type != nullptr && std::strcmp(type, "wayland") == 0);
}

const DesktopBinding* loadForWayland() {
    std::string failure;
    const DesktopBinding* module = loadDesktopModule(&failure);
    if (module == nullptr) {
        std::fprintf(stderr, "keepawake: this is a Wayland session, and keepawake-desktop.so, which keeps one awake, "
                             "could not be loaded (%s): nothing can be kept awake.\n",
                     failure.c_str());
    }
    return module;
}

const DisplayBinding& pickBinding() {
    if (!isWaylandSession()) {
        return x11Binding;
    }
    desktop = loadForWayland();
    if (desktop == nullptr || !desktop->start()) {
        return noBinding;
    }
    return desktopBinding;
}

// Chosen on the first display call, which start-up makes on the main thread
// before the worker exists.
const DisplayBinding* chosen = nullptr;

const DisplayBinding& binding() {
    if (chosen == nullptr) {
        chosen = &pickBinding();
    }
    return *chosen;
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

bool displayTakesNudges() {
    return &binding() != &noBinding;
}

std::optional<InputTimes> readInputTimes() {
    return std::nullopt;
}

void closeDisplay() {
    // A display never asked for is not reached for at exit either.
    if (chosen != nullptr) {
        chosen->closeDisplay();
    }
}
