#!/usr/bin/python3
# Drives the running program through the accessibility bus while its options dialog is open:
#   options_tray_drive.py ICON_X ICON_Y [--exit-with-the-dialog-open]
# ICON_X, ICON_Y: the centre of the program's tray icon in its X tray, in screen pixels.
# With --exit-with-the-dialog-open, step 2 types the interval and ends without OK: "Exit" is
# chosen while the dialog is still open.
# 1. A right click on the tray icon opens its menu although the dialog is open.
# 2. On the dialog: types a check interval, turns hour 3 off through its check box's action,
#    presses OK.
# 3. "Exit" from the tray menu ends the program.
# Prints one line per step; exits 0 when every step held, else 1 with the reason.
import sys
import time

import pyatspi
from gi.repository import GLib

R = pyatspi.Registry
TITLE = "Tarvel E-Mail Notifier"


def fail(reason):
    print("FAIL " + reason, flush=True)
    sys.exit(1)


def wait(condition, timeout=20.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            value = condition()
        except Exception:  # the tree changes under us: ask again
            value = None
        if value:
            return value
        time.sleep(0.05)
    return None


def application():
    for app in R.getDesktop(0):
        if app is not None and app.name == TITLE:
            return app
    return None


def find(root, role, name=None, pred=None):
    return pyatspi.findDescendant(
        root, lambda a: a is not None and a.getRole() == role
        and (name is None or a.name == name) and (pred is None or pred(a)))


def act(accessible, action):
    actions = accessible.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    if action not in names:
        fail("%s offers %s, not %s" % (accessible.name, names, action))
    actions.doAction(names.index(action))


def has(accessible, state):
    return accessible.getState().contains(state)


def open_tray_menu(x, y):
    """Right-clicks the tray icon and returns its menu once an item of it takes the focus.

    A popup menu is not a child of the application on the bus: it is found through the
    focus event of its first item, which Down selects."""
    seen = []

    def on_event(event):
        try:
            if event.source.getRole() == pyatspi.ROLE_MENU_ITEM:
                seen.append(event.source)
                R.stop()
        except Exception:  # an event of a window that is gone
            pass

    def click():
        R.generateMouseEvent(x, y, "b3c")
        return False

    def down():
        if not seen:
            R.generateKeyboardEvent(0xff54, None, pyatspi.KEY_SYM)
        return not seen

    events = ("object:state-changed:focused", "object:state-changed:selected", "focus:")
    R.registerEventListener(on_event, *events)
    GLib.timeout_add(200, click)
    GLib.timeout_add(1000, down)
    GLib.timeout_add(20000, R.stop)
    R.start()
    R.deregisterEventListener(on_event, *events)
    return seen[0].parent if seen else None


def main():
    x, y = int(sys.argv[1]), int(sys.argv[2])
    app = wait(application, 30)
    if not app:
        fail("the program is not on the accessibility bus")
    dialog = wait(lambda: find(app, pyatspi.ROLE_DIALOG,
                               pred=lambda a: a.name.startswith(TITLE + " [")), 30)
    if not dialog:
        fail("no options dialog")
    print("dialog " + dialog.name, flush=True)

    # 1. The tray menu opens over the open dialog.
    menu = open_tray_menu(x, y)
    if not menu:
        fail("the tray menu did not open while the dialog was open")
    names = [item.name.replace("&", "") for item in menu]
    if "Options" not in names or "Exit" not in names:
        fail("the tray menu holds %s" % names)
    print("menu open: %s" % names, flush=True)
    R.generateKeyboardEvent(0xff1b, None, pyatspi.KEY_SYM)  # Escape closes it
    wait(lambda: not has(menu, pyatspi.STATE_SHOWING), 5)

    # 2. The dialog takes typed values and OK.
    interval = find(dialog, pyatspi.ROLE_COMBO_BOX,
                    pred=lambda a: any(r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                                       and r.getTarget(0).name == "Check Interval"
                                       for r in a.getRelationSet()))
    if not interval:
        fail("no check interval list")
    find(interval, pyatspi.ROLE_TEXT).queryEditableText().setTextContents("45 Seconds")
    if "--exit-with-the-dialog-open" in sys.argv:
        return choose_exit(x, y)
    hours = pyatspi.findDescendant(dialog, lambda a: a is not None and a.name == "Hours for Mail Check"
                                   and a.childCount == 24)
    if not hours:
        fail("the hour strip has no 24 cells")
    three = hours.getChildAtIndex(3)
    if three.getRole() != pyatspi.ROLE_CHECK_BOX or not has(three, pyatspi.STATE_CHECKED):
        fail("hour 3 is not a checked check box: %s" % three.getRoleName())
    act(three, "Toggle")
    if not wait(lambda: not has(hours.getChildAtIndex(3), pyatspi.STATE_CHECKED), 5):
        fail("hour 3 stayed checked")
    print("hour 3 off", flush=True)
    act(find(dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "Press")
    if not wait(lambda: not find(app, pyatspi.ROLE_DIALOG,
                                 pred=lambda a: a.name.startswith(TITLE + " [")), 10):
        fail("OK did not close the dialog")
    print("ok pressed", flush=True)

    # 3. Exit from the tray menu.
    return choose_exit(x, y)


def choose_exit(x, y):
    menu = open_tray_menu(x, y)
    if not menu:
        fail("the tray menu did not open")
    item = find(menu, pyatspi.ROLE_MENU_ITEM, pred=lambda a: a.name.replace("&", "") == "Exit")
    if not item:
        fail("no Exit in the tray menu")
    act(item, "Press")
    print("exit chosen", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
