#!/usr/bin/python3
# Stands in for PowerDevil's policy agent on the bed's session bus.
# kscreenlocker passes every inhibitor it takes on to this agent and
# releases it here when its holder lets go or leaves the bus, so the lines
# written here ("add COOKIE TYPES APP", "release COOKIE") show what KDE
# itself holds.
import sys

from gi.repository import Gio, GLib

INTERFACE = """<node><interface name="org.kde.Solid.PowerManagement.PolicyAgent">
  <method name="AddInhibition">
    <arg type="u" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="u" direction="out"/>
  </method>
  <method name="ReleaseInhibition"><arg type="u" direction="in"/></method>
</interface></node>"""
cookies = iter(range(1, 1 << 31))


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "AddInhibition":
        types, app, _reason = parameters.unpack()
        cookie = next(cookies)
        print("add", cookie, types, app or "-", flush=True)
        invocation.return_value(GLib.Variant("(u)", (cookie,)))
    else:
        print("release", parameters.unpack()[0], flush=True)
        invocation.return_value(None)


def on_bus(connection, name):
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    connection.register_object("/org/kde/Solid/PowerManagement/PolicyAgent", info, on_call, None, None)


def on_lost(connection, name):
    print("lost the name", name, file=sys.stderr, flush=True)
    sys.exit(1)


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.Solid.PowerManagement.PolicyAgent", Gio.BusNameOwnerFlags.NONE,
                 on_bus, lambda connection, name: print("ready", flush=True), on_lost)
GLib.MainLoop().run()
