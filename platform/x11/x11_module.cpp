// keepawake-x11.so: the X11 binding behind its C table.
#include "platform/x11/x11_module.h"

#include "platform/x11/x11_diagnose.h"
#include "platform/x11/x11_display.h"
#include "platform/x11/x11_hotkey.h"
#include "platform/x11/x11_idle_watch.h"
#include "platform/x11/x11_timers.h"

namespace {

const X11Binding binding{sizeof(X11Binding), x11ReadScreenSaverTimeout, x11SendRelativeMove, x11CloseDisplay,
                         x11HotkeyStart, x11HotkeyReadable, x11HotkeyStop, x11Diagnose,
                         x11TimersRead, x11TimersWatchOpen, x11TimersWatchFollow, x11TimersWatchReadable,
                         x11TimersWatchClose, x11DisplayUnanswered,
                         x11IdleStart,   x11IdleReadable,   x11IdleStop};

}  // namespace

extern "C" __attribute__((visibility("default"))) const X11Binding* keepawakeX11Binding() {
    return &binding;
}
