// Picks, once, how this session is kept awake, and sends every display call
// of platform.h to that binding. A Wayland session never gets XTEST: its
// Xwayland accepts the fake moves and the desktop ignores them.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/desktop_loader.h"
#include "platform/linux/session_timers.h"
#include "platform/linux/x11_loader.h"
#include "platform/platform.h"
#include "platform/posix/posix_wake.h"

namespace {

struct DisplayBinding {
    std::uint32_t (*readScreenSaverTimeout)();
    void (*sendMouseInput)(const MouseInput& input);
    std::uint32_t (*period)(std::uint32_t nudgeIntervalMs);
    KeepAwakeWay (*describe)(std::uint32_t nudgeIntervalMs);
    void (*pauseKeepAwake)();
    void (*resumeKeepAwake)();
    void (*closeDisplay)();
    // --only-when-idle: starts or re-arms the session's telling; empty when
    // it works or is not needed, else why not. Then what came on idleWakeFd.
    std::string (*watchIdle)(std::uint32_t intervalMs);
    std::optional<Wake> (*takeIdle)();
};

// --only-when-idle, once asked for: whether the session tells idleness now
// (X11: then the worker needs no timer), and the interval to re-arm with.
std::atomic<bool> idleTold{false};  // the worker reads it when it plans
bool idleAsked = false;
std::uint32_t idleIntervalMs = 0;

std::optional<Wake> lostIdle(const char* why) {
    std::fprintf(stderr, "keepawake: --only-when-idle: %s; nudging on its timer from now on.\n", why);
    idleTold = false;
    idleAsked = false;
    idleWakeFd = -1;  // closed with the connection, or never read again
    return Wake::displayChanged;  // the worker plans its timer anew
}

void nothing() {}
void noInput(const MouseInput&) {}
std::uint32_t noTimeout() {
    return 0;
}
std::uint32_t noPeriod(std::uint32_t) {
    return 0;
}
KeepAwakeWay byZeroMoves(std::uint32_t nudgeIntervalMs) {
    return {true, "by zero moves every " + std::to_string(nudgeIntervalMs) + " ms"};
}
// Said on standard error already, when the session was looked at.
std::string nothingOffered = "no way offered";
KeepAwakeWay noWay(std::uint32_t) {
    return {false, nothingOffered};
}

std::string noIdleWatch(std::uint32_t) {
    return "nothing keeps this session awake";
}
std::optional<Wake> noIdle() {
    return std::nullopt;
}

const DisplayBinding noBinding{noTimeout, noInput, noPeriod, noWay, nothing, nothing, nothing, noIdleWatch, noIdle};

// Only relative moves are acted on, whichever the session.
bool isRelativeMove(const MouseInput& input) {
    return (input.dwFlags & mouseEventMove) != 0 && (input.dwFlags & mouseEventAbsolute) == 0;
}

// keepawake-x11.so's table, once it was loaded.
const X11Binding* x11 = nullptr;

std::uint32_t x11ReadTimeout() {
    return x11->readScreenSaverTimeout();
}
void x11SendMouseInput(const MouseInput& input) {
    if (isRelativeMove(input)) {
        x11->sendRelativeMove(input.dx, input.dy);
    }
}
void x11Close() {
    x11->idleStop();
    x11->close();
}
// Where the SYNC alarm tells idleness, its wake-up brings each nudge.
std::uint32_t x11Period(std::uint32_t nudgeIntervalMs) {
    return idleTold ? 0 : nudgeIntervalMs;
}
KeepAwakeWay x11Describe(std::uint32_t nudgeIntervalMs) {
    KeepAwakeWay way = byZeroMoves(nudgeIntervalMs);
    way.words += idleTold ? ", while idle" : "";
    return way;
}
std::string x11WatchIdle(std::uint32_t intervalMs) {
    char problem[256] = {};
    const int fd = x11->idleStart(intervalMs, problem, sizeof problem);
    if (fd < 0) {
        return problem;
    }
    idleWakeFd = fd;
    idleTold = true;
    return {};
}
std::optional<Wake> x11TakeIdle() {
    char problem[256] = {};
    const bool idle = x11->idleReadable(problem, sizeof problem) > 0;
    if (problem[0] != '\0') {
        return lostIdle(problem);
    }
    return idle ? std::optional<Wake>(Wake::sessionIdle) : std::nullopt;
}

const DisplayBinding x11Binding{x11ReadTimeout, x11SendMouseInput, x11Period, x11Describe, nothing,
                                nothing,        x11Close,          x11WatchIdle, x11TakeIdle};

// keepawake-desktop.so's table, once it was loaded and started.
const DesktopBinding* desktop = nullptr;

std::uint32_t desktopReadTimeout() {
    return desktop->readScreenSaverTimeout();
}
void desktopSendMouseInput(const MouseInput& input) {
    if (isRelativeMove(input)) {
        desktop->nudge();
    }
}
std::uint32_t desktopPeriod(std::uint32_t nudgeIntervalMs) {
    return desktop->period(nudgeIntervalMs);
}
KeepAwakeWay desktopDescribe(std::uint32_t nudgeIntervalMs) {
    char words[160] = {};
    const bool keeps = desktop->describe(nudgeIntervalMs, words, sizeof words);
    return {keeps, words};
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

// The module tells on a pipe of its own: idleByte per idle interval,
// idleLostByte once it can no longer tell (it said why).
int idleNotify = -1;
std::string desktopWatchIdle(std::uint32_t intervalMs) {
    int ends[2] = {-1, -1};
    if (idleNotify < 0) {
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            return "no pipe for the desktop module";
        }
        idleWakeFd = ends[0];
        idleNotify = ends[1];
    }
    char problem[256] = {};
    if (desktop->idleStart(intervalMs, idleNotify, problem, sizeof problem) < 0) {
        return problem;
    }
    return {};
}
std::optional<Wake> desktopTakeIdle() {
    char bytes[64];
    std::optional<Wake> wake;
    ssize_t got = 0;
    while ((got = read(idleWakeFd, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] == desktopIdleLost) {
                idleAsked = false;
                return Wake::displayChanged;
            }
            wake = Wake::sessionIdle;
        }
    }
    return wake;
}

const DisplayBinding desktopBinding{desktopReadTimeout, desktopSendMouseInput, desktopPeriod,    desktopDescribe,
                                    desktopPause,       desktopResume,         desktopClose,     desktopWatchIdle,
                                    desktopTakeIdle};

bool isWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && display[0] != '\0') || (type != nullptr && std::strcmp(type, "wayland") == 0);
}

const DesktopBinding* loadForWayland() {
    std::string failure;
    const DesktopBinding* module = loadDesktopModule(&failure);
    if (module == nullptr) {
        nothingOffered = "keepawake-desktop.so could not be loaded";
        std::fprintf(stderr, "keepawake: this is a Wayland session, and keepawake-desktop.so, which keeps one awake, "
                             "could not be loaded (%s): nothing can be kept awake.\n",
                     failure.c_str());
    }
    return module;
}

// Without its module (or a library the module needs) an X session cannot be
// kept awake; the program still runs, having said so once.
const DisplayBinding& pickX11() {
    X11LoadFailure failure;
    x11 = loadX11Module(&failure);
    if (x11 == nullptr) {
        std::fputs(failure.line.c_str(), stderr);
        nothingOffered = failure.words;
        return noBinding;
    }
    return x11Binding;
}

const DisplayBinding& pickBinding() {
    if (!isWaylandSession()) {
        return pickX11();
    }
    desktop = loadForWayland();
    // The module tells of every change in how the session is kept awake
    // through this pipe, which the main thread's wait watches.
    int ends[2] = {-1, -1};
    if (desktop == nullptr) {
        return noBinding;
    }
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        nothingOffered = "no pipe for the desktop module";
        std::fprintf(stderr, "keepawake: no pipe for the desktop module: nothing can be kept awake.\n");
        return noBinding;
    }
    displayWakeFd = ends[0];
    if (!desktop->start(ends[1])) {
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
    // The session may have gone idle during the pause, told to nobody.
    if (idleAsked) {
        binding().watchIdle(idleIntervalMs);
    }
}

std::string watchSessionIdle(std::uint32_t intervalMs) {
    std::string problem = binding().watchIdle(intervalMs);
    idleAsked = problem.empty();
    idleIntervalMs = intervalMs;
    return problem;
}

std::optional<Wake> takeSessionIdle() {
    return binding().takeIdle();
}

std::uint32_t keepAwakePeriod(std::uint32_t nudgeIntervalMs) {
    return binding().period(nudgeIntervalMs);
}

KeepAwakeWay describeKeepAwake(std::uint32_t nudgeIntervalMs) {
    return binding().describe(nudgeIntervalMs);
}

SessionTimer systemSaverTimer() {
    SessionTimer timer;
    timer.systemSaver = true;
    timer.seconds = binding().readScreenSaverTimeout();
    if (chosen == &desktopBinding) {
        // GNOME's idle delay or KDE's lock timeout: the inhibitor holds it
        // off too.
        timer.watcher = "the desktop";
        timer.does = "goes idle";
        timer.source = "its idle settings";
        timer.heldBy = heldByNudge | heldByInhibitor;
    } else {
        timer.watcher = "the screen saver";
        timer.does = "starts the screen saver";
        timer.source = "the X server";
    }
    return timer;
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
