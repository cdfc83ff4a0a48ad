#!/usr/bin/python3
# Drives the IMAP OAuth2 sign-in of the running program through the accessibility bus, with
# its options dialog open (no account switched on):
#   imap_sign_in_drive.py GO_FILE [--device APPROVER]
# 1. Shows the page "IMAP #1" and switches the account on.
# 2. Presses "Sign in" and waits until the status line says "Signed in." (the desktop's
#    browser, a test stand-in, completes the sign-in meanwhile). With --device, the page's
#    device code is read and APPROVER is run with the verification address and the code (the
#    user typing the code in a browser).
# 3. Prints "signed in", waits until GO_FILE exists (the test takes its pictures), presses OK.
# Prints one line per step; exits 0 when every step held, else 1 with the reason.
import os
import re
import subprocess
import sys
import time

import pyatspi

R = pyatspi.Registry
TITLE = "Tarvel E-Mail Notifier"


def fail(reason):
    print("FAIL " + reason, flush=True)
    sys.exit(1)


def wait(condition, timeout=30.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            value = condition()
        except Exception:  # the tree changes under us: ask again
            value = None
        if value:
            return value
        time.sleep(0.1)
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


def text_of(label):
    """The status line's text: its description carries it (and its text, where readable)."""
    try:
        text = label.queryText().getText(0, -1)
        if text:
            return text
    except Exception:  # no text interface
        pass
    return label.description


def showing(dialog, role, name):
    return find(dialog, role, name, pred=lambda a: has(a, pyatspi.STATE_SHOWING))


def main():
    go_file = sys.argv[1]
    app = wait(application, 60)
    if not app:
        fail("the program is not on the accessibility bus")
    dialog = wait(lambda: find(app, pyatspi.ROLE_DIALOG,
                               pred=lambda a: a.name.startswith(TITLE + " [")), 60)
    if not dialog:
        fail("no options dialog")

    # 1. The page list: its entry "IMAP #1" selected, as a click or the arrow keys would.
    pages = find(dialog, pyatspi.ROLE_LIST, "Pages") or find(dialog, pyatspi.ROLE_TABLE, "Pages")
    if not pages:
        fail("no page list")
    entry = None
    for index in range(pages.childCount):
        child = pages.getChildAtIndex(index)
        if child is not None and child.name == "IMAP #1":
            entry = (index, child)
    if not entry:
        fail("no entry IMAP #1 in the page list")
    try:
        pages.querySelection().selectChild(entry[0])
    except Exception:  # no selection interface: the keyboard, as a user would
        pass
    page_shown = lambda: showing(dialog, pyatspi.ROLE_CHECK_BOX, "Check IMAP for new mails")
    if not wait(page_shown, 3):
        pages.queryComponent().grabFocus()
        time.sleep(0.3)
        R.generateKeyboardEvent(0xff50, None, pyatspi.KEY_SYM)  # Home
        for _ in range(entry[0]):
            time.sleep(0.1)
            R.generateKeyboardEvent(0xff54, None, pyatspi.KEY_SYM)  # Down
    enable = wait(page_shown)
    if not enable:
        fail("the page IMAP #1 did not show")
    if not has(enable, pyatspi.STATE_CHECKED):
        act(enable, "Toggle")
    print("page shown", flush=True)
    # The account page itself: the searches below stay inside it.
    page = enable.parent

    # 2. Sign in.
    button = wait(lambda: showing(page, pyatspi.ROLE_PUSH_BUTTON, "Sign in"))
    if not button:
        fail("no Sign in button on the page")
    status = find(page, pyatspi.ROLE_LABEL, "Sign-in status")
    if not status:
        fail("no sign-in status line")
    print("status before: " + text_of(status), flush=True)
    act(button, "Press")
    if "--device" in sys.argv:
        approver = sys.argv[sys.argv.index("--device") + 1]
        code = find(page, pyatspi.ROLE_LABEL, "Device sign-in code")
        if not code:
            fail("no device code line on the page")
        pattern = r"^Enter the code (\S+) at (\S+)$"
        said = wait(lambda: re.match(pattern, text_of(code)), 30)
        if not said:
            fail("no device code shown: %r" % text_of(code))
        print("device code " + said.group(1), flush=True)
        subprocess.run([approver, said.group(2), said.group(1)], check=False)
    wait(lambda: text_of(status).startswith("Signed in")
         or text_of(status).startswith("Not signed in:"), 90)
    text = text_of(status)
    if not text.startswith("Signed in"):
        fail("the sign-in did not end signed in: " + text)
    print("signed in", flush=True)

    # 3. The test's pictures, then OK.
    if not wait(lambda: os.path.exists(go_file), 60):
        fail("the test did not say to go on")
    act(find(dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "Press")
    if not wait(lambda: not find(app, pyatspi.ROLE_DIALOG,
                                 pred=lambda a: a.name.startswith(TITLE + " [")), 20):
        fail("OK did not close the dialog")
    print("ok pressed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
