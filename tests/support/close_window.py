#!/usr/bin/env python3
"""Closes the X window with the given title as a window manager's close button does: sends it
the WM_DELETE_WINDOW message of the WM_PROTOCOLS it takes part in.

Usage: close_window.py [--shown] TITLE
Only a window that is shown (mapped and viewable) counts. With --shown nothing is sent: the exit
status says whether such a window exists (0) or not (1). DISPLAY names the X server.
"""
import ctypes
import ctypes.util
import re
import subprocess
import sys

CLIENT_MESSAGE = 33


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def find_window(title):
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True,
                          check=False).stdout
    quoted = '"' + title + '"'
    for line in tree.splitlines():
        match = re.match(r"\s*(0x[0-9a-fA-F]+) (.*)", line)
        if not match or not match.group(2).startswith(quoted):
            continue
        info = subprocess.run(["xwininfo", "-id", match.group(1)], capture_output=True,
                              text=True, check=False).stdout
        if "IsViewable" in info:
            return int(match.group(1), 16)
    return None


def main():
    arguments = sys.argv[1:]
    check_only = arguments[:1] == ["--shown"]
    if check_only:
        arguments = arguments[1:]
    if len(arguments) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    window = find_window(arguments[0])
    if window is None:
        return 1
    if check_only:
        return 0
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        return 1
    event = XEvent()
    event.xclient.type = CLIENT_MESSAGE
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.xclient.data[1] = 0  # CurrentTime
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)
    return 0


if __name__ == "__main__":
    sys.exit(main())
