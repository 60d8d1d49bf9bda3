// keepawake-desktop.so: picks how this Wayland session is kept awake, in the
// order that works best where each is offered: an idle inhibitor on the
// session bus (GNOME, KDE Plasma), then a wlroots virtual pointer.
#include "platform/linux/desktop_module.h"

#include <cstdio>
#include <cstdlib>

#include "platform/dbus/dbus_inhibitor.h"
#include "platform/dbus/machine_watch.h"
#include "platform/dbus/portal_shortcuts.h"
#include "platform/wayland/wayland_pointer.h"

namespace {

enum class Mechanism { none, inhibitor, virtualPointer };

Mechanism mechanism = Mechanism::none;
std::uint32_t timeoutSeconds = 0;

const char* environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

bool start() {
    if (dbusStart(&timeoutSeconds)) {
        mechanism = Mechanism::inhibitor;
    } else if (waylandStart()) {
        mechanism = Mechanism::virtualPointer;
    } else {
        std::fprintf(stderr,
                     "keepawake: this Wayland session (XDG_SESSION_TYPE=%s, WAYLAND_DISPLAY=%s) offers no GNOME "
                     "session manager, no freedesktop screen saver and no wlroots virtual pointer: nothing can be "
                     "kept awake.\n",
                     environmentOr("XDG_SESSION_TYPE", "unset"), environmentOr("WAYLAND_DISPLAY", "unset"));
        return false;
    }
    return true;
}

std::uint32_t readScreenSaverTimeout() {
    return timeoutSeconds;
}

void nudge() {
    if (mechanism == Mechanism::inhibitor) {
        dbusNudge();
    } else if (mechanism == Mechanism::virtualPointer) {
        waylandNudge();
    }
}

// A paused worker sends no nudges, which is all a virtual pointer needs.
void pause() {
    if (mechanism == Mechanism::inhibitor) {
        dbusPause();
    }
}

void resume() {
    if (mechanism == Mechanism::inhibitor) {
        dbusResume();
    }
}

void close() {
    if (mechanism == Mechanism::inhibitor) {
        dbusClose();
    } else if (mechanism == Mechanism::virtualPointer) {
        waylandClose();
    }
    mechanism = Mechanism::none;
}

const DesktopBinding binding{start,        readScreenSaverTimeout, nudge,
                             pause,        resume,                 close,
                             machineWatch, machineRead,            portalShortcutsStart,
                             portalShortcutsStop};

}  // namespace

extern "C" __attribute__((visibility("default"))) const DesktopBinding* keepawakeDesktopBinding() {
    return &binding;
}
