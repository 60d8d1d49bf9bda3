// Whether this compositor offers the wlroots virtual pointer, and one zero
// move through it. wlroots tells no idle time, so whether it counted cannot
// be read.
#include "platform/dbus/dbus_diagnose.h"
#include "platform/wayland/wayland_idle.h"
#include "platform/wayland/wayland_pointer.h"

void waylandDiagnose(DiagnosisSink sink, void* context) {
    Finding way = readFinding(Finding::session, Finding::way, "kept awake by",
                              "the wlroots virtual pointer", "", "Wayland compositor's registry");
    way.heldBy = heldByNudge;
    way.ok = waylandStart();
    if (!way.ok) {
        way.advice = "this Wayland session offers no GNOME session manager, no freedesktop screen saver and no "
                     "wlroots virtual pointer: use a desktop that offers one of them";
    }
    sendFinding(sink, context, way);
    if (way.ok) {
        waylandNudge();
        waylandClose();
        std::string why;
        const std::string kind = waylandIdleProbe(&why);
        sendFinding(sink, context,
                    readFinding(Finding::session, Finding::fact, "--only-when-idle",
                                kind.empty() ? "not told here (" + why + "): its nudges would keep their timer"
                                             : "told when the seat is idle by " + kind,
                                "", "Wayland compositor's registry"));
        sendFinding(sink, context,
                    unreadableFinding(Finding::live, Finding::check, "one virtual-pointer move",
                                      "sent, but wlroots tells no idle time to see it counted"));
    }
}
