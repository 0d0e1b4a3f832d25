"""Answers GNOME's remote-desktop dialog as a user would, through AT-SPI: ticks "Allow Remote
Interaction" and "Remember This Selection" where they are not ticked, then presses the button named
by the argument ("Share" or "Cancel"). Exits 0 once pressed, 1 when no dialog came within 20 s."""

import sys
import time

import pyatspi


def find(node, role, name, action=None):
    """The first node under node (itself included) with that role and name, and that action where
    one is named, or None."""
    try:
        if node.getRoleName() == role and node.name == name and (action is None or index(node, action) >= 0):
            return node
        for child in node:
            found = find(child, role, name, action)
            if found is not None:
                return found
    except Exception:  # a node that went away while it was read
        pass
    return None


def index(node, action):
    """The number of node's action of that name, or -1."""
    try:
        actions = node.queryAction()
    except NotImplementedError:
        return -1
    names = [actions.getName(i) for i in range(actions.nActions)]
    return names.index(action) if action in names else -1


def press(node, action):
    return node.queryAction().doAction(index(node, action))


def dialog():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "xdg-desktop-portal-gnome":
            frame = find(app, "frame", "Remote Desktop")
            if frame is not None:
                return frame
    return None


def main():
    button = sys.argv[1] if len(sys.argv) > 1 else "Share"
    until = time.monotonic() + 20
    frame = dialog()
    while frame is None and time.monotonic() < until:
        time.sleep(0.1)
        frame = dialog()
    if frame is None:
        print("answer_dialog: no remote-desktop dialog", file=sys.stderr)
        return 1
    if button == "Share":
        # The switch that toggles, not its row of the same name.
        for name in ("Allow Remote Interaction", "Remember This Selection"):
            box = find(frame, "check box", name, "toggle")
            if box is not None and not box.getState().contains(pyatspi.STATE_CHECKED):
                press(box, "toggle")
    # The button takes a press once the dialog has seen the switch change.
    until = time.monotonic() + 5
    target = find(frame, "button", button, "click")
    while target is not None and not target.getState().contains(pyatspi.STATE_SENSITIVE):
        if time.monotonic() > until:
            break
        time.sleep(0.05)
    if target is None or not press(target, "click"):
        states = [] if target is None else [str(s) for s in target.getState().getStates()]
        print("answer_dialog: cannot press %s (%s)" % (button, " ".join(states)), file=sys.stderr)
        return 1
    return 0


sys.exit(main())
