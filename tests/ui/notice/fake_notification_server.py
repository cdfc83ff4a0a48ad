#!/usr/bin/python3
# A notification server for tests, on the session bus the test started: records every Notify
# call as one JSON line in LOG and lets the test "click" an action.
# Usage: fake_notification_server.py LOG.jsonl [--markup]
#   (prints "ready" once its names are taken; --markup: the server reads body markup)
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

N = "org.freedesktop.Notifications"
CTRL = "org.example.FakeDesktop"
LOG = sys.argv[1]


def log(record):
    with open(LOG, "a") as f:
        f.write(json.dumps(record, ensure_ascii=False) + "\n")


def plain(value):
    if isinstance(value, dbus.Struct) and len(value) == 7:  # image-data (iiibiiay)
        return {"width": int(value[0]), "height": int(value[1]), "rowstride": int(value[2]),
                "alpha": bool(value[3]), "bits": int(value[4]), "channels": int(value[5]),
                "bytes": len(value[6])}
    if isinstance(value, (str, int, float)):
        return value
    return repr(value)


class Notifications(dbus.service.Object):
    last = 0
    capabilities = ["body", "actions", "persistence"] + (
        ["body-markup"] if "--markup" in sys.argv[2:] else [])
    capability_requests = 0
    silent = False
    unanswered = []

    @dbus.service.method(N, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        nid = int(replaces) or self.last + 1
        self.last = max(self.last, nid)
        log(dict(id=nid, app=app, replaces=int(replaces), icon=icon, summary=summary, body=body,
                 actions=[str(a) for a in actions], timeout=int(timeout),
                 hints={str(k): plain(v) for k, v in hints.items()}))
        return dbus.UInt32(nid)

    @dbus.service.method(N, out_signature="as", async_callbacks=("reply", "error"))
    def GetCapabilities(self, reply, error):
        self.capability_requests += 1
        if self.silent:
            self.unanswered.append(reply)  # a hung server: never answers
        else:
            reply(self.capabilities)

    @dbus.service.method(N, out_signature="ssss")
    def GetServerInformation(self):
        return ("fake-notifyd", "tests", "1.0", "1.2")

    @dbus.service.method(N, in_signature="u")
    def CloseNotification(self, nid):
        self.NotificationClosed(nid, dbus.UInt32(3))

    @dbus.service.signal(N, signature="uu")
    def NotificationClosed(self, nid, reason):
        pass

    @dbus.service.signal(N, signature="us")
    def ActionInvoked(self, nid, key):
        pass

    @dbus.service.method(CTRL, in_signature="us")
    def InvokeAction(self, nid, key):
        self.ActionInvoked(dbus.UInt32(nid), key)

    @dbus.service.method(CTRL, out_signature="u")
    def CapabilityRequests(self):
        return dbus.UInt32(self.capability_requests)

    @dbus.service.method(CTRL, in_signature="b")
    def SetSilent(self, on):
        self.silent = bool(on)

    @dbus.service.method(CTRL, in_signature="b")
    def SetMarkup(self, on):
        self.capabilities = ["body", "actions", "persistence"] + (["body-markup"] if on else [])


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
server = Notifications(bus, "/org/freedesktop/Notifications")
names = [dbus.service.BusName(n, bus) for n in (N, CTRL)]
print("ready", flush=True)
GLib.MainLoop().run()
