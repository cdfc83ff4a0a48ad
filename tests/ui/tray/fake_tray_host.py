#!/usr/bin/python3
# A StatusNotifierWatcher with a host, as a desktop panel runs it, on the session bus of the
# test. Appends one JSON line per registered item to LOG and prints "ready" once it owns its
# name. Usage: fake_tray_host.py LOG
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
LOG = sys.argv[1]


def log(record):
    with open(LOG, "a") as out:
        out.write(json.dumps(record) + "\n")


class Watcher(dbus.service.Object):
    items = []

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Items register with their object path or their bus name; either way the sender owns it.
        self.items.append(sender)
        log({"item": sender, "service": str(service)})
        self.StatusNotifierItemRegistered(sender)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
                "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s")}[name]

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s", path_keyword="p",
                         connection_keyword="c")
    def Introspect(self, p, c):
        # Qt reads the properties through the introspection data, which dbus-python leaves out.
        return super().Introspect(p, c).replace(
            '<interface name="%s">' % WATCHER,
            '<interface name="%s">'
            '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>'
            '<property name="ProtocolVersion" type="i" access="read"/>'
            '<property name="RegisteredStatusNotifierItems" type="as" access="read"/>' % WATCHER)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
watcher = Watcher(bus, "/StatusNotifierWatcher")
name = dbus.service.BusName(WATCHER, bus)
print("ready", flush=True)
GLib.MainLoop().run()
