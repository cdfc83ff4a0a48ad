#!/usr/bin/python3
# Desktop services with set answers, for the do-not-disturb probes:
#   fake_desktop_services.py [--inhibited=yes|no] [--screensaver=yes|no] [--banners=yes|no]
#                            [--gnome-screensaver=yes|no] [--slow]
# A service whose option is not given is not on the bus; a notification server without
# --inhibited has no Inhibited property. --slow makes every answer take 5 seconds.
# Prints "ready" once every name is owned.
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

options = dict(a[2:].split("=", 1) if "=" in a else (a[2:], "yes") for a in sys.argv[1:])
slow = "slow" in options


def answer(value):
    if slow:
        time.sleep(5)
    return dbus.Boolean(value == "yes")


N = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    @dbus.service.method(N, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == N and name == "Inhibited" and "inhibited" in options:
            return answer(options["inhibited"])
        raise dbus.exceptions.DBusException(
            "no such property", name="org.freedesktop.DBus.Error.UnknownProperty")


class ScreenSaver(dbus.service.Object):
    def __init__(self, bus, path, value):
        super().__init__(bus, path)
        self.value = value

    @dbus.service.method("org.freedesktop.ScreenSaver", out_signature="b")
    def GetActive(self):
        return answer(self.value)


class GnomeScreenSaver(dbus.service.Object):
    def __init__(self, bus, path, value):
        super().__init__(bus, path)
        self.value = value

    @dbus.service.method("org.gnome.ScreenSaver", out_signature="b")
    def GetActive(self):
        return answer(self.value)


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Settings", in_signature="ss", out_signature="v")
    def Read(self, namespace, key):
        if namespace == "org.gnome.desktop.notifications" and key == "show-banners":
            # The settings portal wraps the value in a second variant.
            return dbus.Boolean(answer(options["banners"]), variant_level=1)
        raise dbus.exceptions.DBusException(
            "no such key", name="org.freedesktop.portal.Error.NotFound")


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
keep = []
if "inhibited" in options or "notifications" in options:
    keep += [Notifications(bus, "/org/freedesktop/Notifications"), dbus.service.BusName(N, bus)]
if "screensaver" in options:
    keep += [ScreenSaver(bus, "/org/freedesktop/ScreenSaver", options["screensaver"]),
             dbus.service.BusName("org.freedesktop.ScreenSaver", bus)]
if "gnome-screensaver" in options:
    keep += [GnomeScreenSaver(bus, "/org/gnome/ScreenSaver", options["gnome-screensaver"]),
             dbus.service.BusName("org.gnome.ScreenSaver", bus)]
if "banners" in options:
    keep += [Portal(bus, "/org/freedesktop/portal/desktop"),
             dbus.service.BusName("org.freedesktop.portal.Desktop", bus)]
print("ready", flush=True)
GLib.MainLoop().run()
