// keepawake-desktop.so: keeps a Wayland session awake by every way it
// offers at once: an idle inhibitor on the session bus (GNOME, KDE Plasma,
// hypridle) and a wlroots virtual pointer, whose zero moves idle managers
// that heed input alone (swayidle, hypridle ignoring inhibitors) see too.
// It follows both: when one goes or comes, one line says what is left.
#include "platform/linux/desktop_module.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/dbus/dbus_diagnose.h"
#include "platform/dbus/desktop_timeouts.h"
#include "platform/dbus/dbus_inhibitor.h"
#include "platform/dbus/machine_watch.h"
#include "platform/dbus/portal_shortcuts.h"
#include "platform/wayland/wayland_idle.h"
#include "platform/wayland/wayland_pointer.h"

namespace {

int notify = -1;
bool busFollowed = false;
std::atomic<bool> pointerAlive{false};
// --only-when-idle: asked for, and whether the compositor tells idleness.
std::atomic<bool> idleAsked{false};
std::atomic<bool> idleTold{false};
int idleNotify = -1;

// What was said last, so that each change is said once.
std::mutex reporting;
// Never destroyed: the bus and Wayland threads may still report while the
// module's static destructors run at exit, before the program's exit hook
// stops them.
std::string& lastWays = *new std::string;
std::string& lastLoss = *new std::string;  // why nothing is left, once nothing is

const char* environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

// "GNOME's session manager", "zero moves", or both; empty when none.
std::string waysNow() {
    const char* service = dbusService();
    std::string ways = service != nullptr ? service : "";
    if (pointerAlive) {
        ways += ways.empty() ? "zero moves" : " and zero moves";
    }
    return ways;
}

// One line for a change in the ways, never two for the same state, and a
// wake-up for the main thread, which has the worker plan its timer anew.
void changed(const char* cause) {
    {
        std::lock_guard<std::mutex> lock(reporting);
        const std::string ways = waysNow();
        if (cause != nullptr && ways != lastWays) {
            if (!ways.empty()) {
                // "alone" where one of two ways went and the other is left.
                const bool narrowed = ways.size() < lastWays.size() && lastWays.find(ways) != std::string::npos;
                std::fprintf(stderr, "keepawake: %s; keeping the session awake by %s%s.\n", cause, ways.c_str(),
                             narrowed ? " alone" : "");
                lastLoss.clear();
            } else {
                std::fprintf(stderr, "keepawake: %s; this copy cannot keep the session awake%s.\n", cause,
                             busFollowed ? " until a way comes back" : " any more");
                lastLoss = cause;
            }
            lastWays = ways;
        }
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(notify, &byte, 1);
}

bool start(int notifyFd) {
    notify = notifyFd;
    busFollowed = dbusStart(changed);
    pointerAlive = waylandStart();
    std::lock_guard<std::mutex> lock(reporting);
    lastWays = waysNow();
    if (lastWays.empty()) {
        std::fprintf(stderr,
                     "keepawake: this Wayland session (XDG_SESSION_TYPE=%s, WAYLAND_DISPLAY=%s) offers no GNOME "
                     "session manager, no freedesktop screen saver and no wlroots virtual pointer: nothing can be "
                     "kept awake%s.\n",
                     environmentOr("XDG_SESSION_TYPE", "unset"), environmentOr("WAYLAND_DISPLAY", "unset"),
                     busFollowed ? " until one comes to the session bus" : "");
        lastLoss = "no way offered";
    }
    return busFollowed || pointerAlive;
}

// Neither GNOME nor KDE offers a virtual pointer, and wlroots compositors
// keep no timeout (the idle daemon's is its command line): with zero moves
// the interval is the shortest.
std::uint32_t readScreenSaverTimeout() {
    return pointerAlive ? 0 : dbusTimeoutSeconds();
}

std::uint32_t period(std::uint32_t nudgeIntervalMs) {
    if (pointerAlive) {
        return idleTold ? 0 : nudgeIntervalMs;
    }
    return dbusActivityPeriodMs();
}

std::string every(std::uint32_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

bool describe(std::uint32_t nudgeIntervalMs, char* words, std::size_t size) {
    std::string text;
    bool keeps = true;
    if (const char* service = dbusService(); service != nullptr) {
        text = std::string("by ") + service;
        if (const std::uint32_t activity = dbusActivityPeriodMs(); activity != 0) {
            text += " and its activity call every " + every(activity);
        }
    }
    if (pointerAlive) {
        text += (text.empty() ? "by zero moves every " : " and zero moves every ") + std::to_string(nudgeIntervalMs) +
                " ms" + (idleTold ? ", while idle" : "");
    } else if (idleAsked && !text.empty()) {
        text += ", which sends no input: --only-when-idle changes nothing";
    }
    if (text.empty()) {
        std::lock_guard<std::mutex> lock(reporting);
        keeps = false;
        text = lastLoss.empty() ? "no way offered" : lastLoss;
    }
    std::snprintf(words, size, "%s", text.c_str());
    return keeps;
}

void nudge() {
    if (pointerAlive && !waylandNudge()) {
        pointerAlive = false;
        changed("the Wayland compositor closed the connection");
    }
    dbusNudge(!pointerAlive);
}

// A paused worker sends no nudges, which is all a virtual pointer needs.
void pause() {
    dbusPause();
}

void resume() {
    dbusResume();
}

void close() {
    dbusClose();
    waylandIdleClose();
    waylandClose();
    pointerAlive = false;
}

void toldIdle() {
    [[maybe_unused]] const ssize_t written = write(idleNotify, &desktopIdleByte, 1);
}

void lostIdle() {
    idleTold = false;
    std::fputs("keepawake: --only-when-idle: the Wayland compositor closed the connection; nudging on its timer "
               "from now on.\n",
               stderr);
    [[maybe_unused]] const ssize_t written = write(idleNotify, &desktopIdleLost, 1);
}

int idleStart(std::uint32_t intervalMs, int notifyFd, char* problem, std::size_t size) {
    idleAsked = true;
    idleNotify = notifyFd;
    if (!pointerAlive) {
        return 0;  // an inhibitor alone sends no input to hold back
    }
    if (const std::string why = waylandIdleStart(intervalMs, toldIdle, lostIdle); !why.empty()) {
        std::snprintf(problem, size, "%s", why.c_str());
        return -1;
    }
    idleTold = true;
    return 1;
}

void diagnose(unsigned what, DiagnosisSink sink, void* context) {
    if ((what & diagnoseVirtualPointer) != 0) {
        waylandDiagnose(sink, context);
    } else {
        dbusDiagnose(what, sink, context);
    }
}

const DesktopBinding binding{start,        readScreenSaverTimeout, period,      describe,
                             nudge,        pause,                  resume,      close,
                             machineWatch, machineRead,            portalShortcutsStart, portalShortcutsStop,
                             diagnose,     readGSettings,          idleStart};

}  // namespace

extern "C" __attribute__((visibility("default"))) const DesktopBinding* keepawakeDesktopBinding() {
    return &binding;
}
