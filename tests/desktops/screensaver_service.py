#!/usr/bin/python3
# A stand-in for an idle manager that serves org.freedesktop.ScreenSaver
# (hypridle does): Inhibit and UnInhibit only, each call logged on standard
# output as "Inhibit COOKIE" / "UnInhibit COOKIE". Prints "ready" once it
# owns the name; ends on SIGTERM.
import signal

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.ScreenSaver"


class ScreenSaver(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/ScreenSaver")
        self.next_cookie = 1

    @dbus.service.method(NAME, in_signature="ss", out_signature="u")
    def Inhibit(self, application, reason):
        cookie = self.next_cookie
        self.next_cookie += 1
        print(f"Inhibit {cookie} {application}", flush=True)
        return cookie

    @dbus.service.method(NAME, in_signature="u", out_signature="")
    def UnInhibit(self, cookie):
        print(f"UnInhibit {cookie}", flush=True)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
service = ScreenSaver(bus)
name = dbus.service.BusName(NAME, bus, do_not_queue=True)
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
print("ready", flush=True)
loop.run()
