#!/usr/bin/env python3
# Presses keys through KWin's emulated input (libei over the socket KWin's
# org.kde.KWin.EIS.RemoteDesktop.connectToEIS hands out), as a keyboard
# would: every key down in order, then up in reverse. Keys are evdev codes.
# Prints one line; exits 1 when KWin gave no keyboard within the time limit.
import ctypes, select, sys, time
from gi.repository import Gio, GLib

keys = [int(k) for k in sys.argv[1:]] or [29, 56, 37]  # ctrl+alt+k
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
reply, fds = bus.call_with_unix_fd_list_sync(
    "org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop", "org.kde.KWin.EIS.RemoteDesktop", "connectToEIS",
    GLib.Variant("(i)", (0xFF,)), GLib.VariantType("(hi)"), Gio.DBusCallFlags.NONE, 5000, None, None)
fd = fds.get(reply.unpack()[0])

ei = ctypes.CDLL("libei.so.1")
ei.ei_new_sender.restype = ctypes.c_void_p
ei.ei_get_event.restype = ctypes.c_void_p
ei.ei_get_event.argtypes = [ctypes.c_void_p]
ei.ei_event_get_type.argtypes = [ctypes.c_void_p]
ei.ei_event_type_to_string.restype = ctypes.c_char_p
ei.ei_event_get_seat.restype = ctypes.c_void_p
ei.ei_event_get_seat.argtypes = [ctypes.c_void_p]
ei.ei_event_get_device.restype = ctypes.c_void_p
ei.ei_event_get_device.argtypes = [ctypes.c_void_p]
ei.ei_event_unref.argtypes = [ctypes.c_void_p]
ei.ei_device_ref.restype = ctypes.c_void_p
ei.ei_device_ref.argtypes = [ctypes.c_void_p]
ei.ei_device_has_capability.restype = ctypes.c_bool
ei.ei_device_has_capability.argtypes = [ctypes.c_void_p, ctypes.c_int]
ei.ei_device_start_emulating.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
ei.ei_device_stop_emulating.argtypes = [ctypes.c_void_p]
ei.ei_device_keyboard_key.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_bool]
ei.ei_device_frame.argtypes = [ctypes.c_void_p, ctypes.c_uint64]
ei.ei_now.restype = ctypes.c_uint64
ei.ei_now.argtypes = [ctypes.c_void_p]
for f in ("ei_configure_name", "ei_setup_backend_fd", "ei_get_fd", "ei_dispatch", "ei_unref"):
    getattr(ei, f).argtypes = [ctypes.c_void_p] + ([ctypes.c_char_p] if f == "ei_configure_name" else
                                                   [ctypes.c_int] if f == "ei_setup_backend_fd" else [])
CAP_KEYBOARD = 1 << 2

ctx = ei.ei_new_sender(None)
ei.ei_configure_name(ctx, b"keepawake bed check")
if ei.ei_setup_backend_fd(ctx, fd) != 0:
    print("ei-press: the EIS socket was refused"); sys.exit(1)
keyboard = None
resumed = False
limit = time.monotonic() + 5
while not resumed and time.monotonic() < limit:
    select.select([ei.ei_get_fd(ctx)], [], [], 0.2)
    ei.ei_dispatch(ctx)
    while True:
        ev = ei.ei_get_event(ctx)
        if not ev:
            break
        kind = ei.ei_event_type_to_string(ei.ei_event_get_type(ev)).decode()
        if kind.endswith("SEAT_ADDED"):
            ei.ei_seat_bind_capabilities(ctypes.c_void_p(ei.ei_event_get_seat(ev)), ctypes.c_int(CAP_KEYBOARD), None)
        elif kind.endswith("DEVICE_ADDED"):
            dev = ei.ei_event_get_device(ev)
            if ei.ei_device_has_capability(dev, CAP_KEYBOARD) and keyboard is None:
                keyboard = ei.ei_device_ref(dev)
        elif kind.endswith("DEVICE_RESUMED") and keyboard is not None and ei.ei_event_get_device(ev) == keyboard:
            resumed = True
        elif kind.endswith("DISCONNECT"):
            print("ei-press: KWin disconnected"); sys.exit(1)
        ei.ei_event_unref(ev)
if not resumed:
    print("ei-press: KWin gave no keyboard within 5 s"); sys.exit(1)

ei.ei_device_start_emulating(keyboard, 1)
for key in keys:
    ei.ei_device_keyboard_key(keyboard, key, True)
    ei.ei_device_frame(keyboard, ei.ei_now(ctx))
for key in reversed(keys):
    ei.ei_device_keyboard_key(keyboard, key, False)
    ei.ei_device_frame(keyboard, ei.ei_now(ctx))
ei.ei_device_stop_emulating(keyboard)
ei.ei_dispatch(ctx)
time.sleep(0.3)  # let KWin read the frames before the socket closes
print("ei-press: pressed", "+".join(map(str, keys)))
