#!/usr/bin/env python3
"""Drives hidpipe from Python (standard library only): types a word with Shift for its capital,
draws a square with a left drag, double-clicks and scrolls.

hidpipe stays running for the whole session, its standard input kept open; closing it ends the
session, and hidpipe then releases anything still held.

    HIDPIPE=/path/to/hidpipe python3 examples/client.py [word]
"""
import os
import subprocess
import sys

# KeyboardEvent code names of the letters, so that any ASCII word can be typed.
LETTERS = {chr(c): "Key" + chr(c).upper() for c in range(ord("a"), ord("z") + 1)}


class Hidpipe:
    """One hidpipe process and the pipe to it."""

    def __init__(self, program):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, text=True, bufsize=1)

    def send(self, *lines):
        for line in lines:
            self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def key(self, name):
        self.send(f"K {name} 1", f"K {name} 0")

    def type_word(self, word):
        for ch in word:
            code = LETTERS[ch.lower()]
            if ch.isupper():
                self.send("K ShiftLeft 1")
                self.key(code)
                self.send("K ShiftLeft 0")
            else:
                self.key(code)

    def drag_square(self, x, y, side):
        corners = [(x + side, y), (x + side, y + side), (x, y + side), (x, y)]
        self.send(f"M {x} {y}", f"B {x} {y} 0 1")
        self.send(*(f"M {cx} {cy}" for cx, cy in corners))
        self.send(f"B {x} {y} 0 0")

    def double_click(self, x, y):
        # Written together, the second press comes well within the double-click time.
        self.send(*[f"B {x} {y} 0 {down}" for down in (1, 0, 1, 0)])

    def scroll(self, x, y, dx, dy):
        self.send(f"W {x} {y} {dx} {dy}")

    def close(self):
        self.process.stdin.close()
        return self.process.wait()


def main():
    word = sys.argv[1] if len(sys.argv) > 1 else "Hello"
    hidpipe = Hidpipe(os.environ.get("HIDPIPE", "hidpipe"))
    hidpipe.type_word(word)
    hidpipe.drag_square(100, 100, 200)
    hidpipe.double_click(200, 200)
    hidpipe.scroll(200, 200, 0, 240)
    status = hidpipe.close()
    if status != 0:
        print(f"hidpipe exited with status {status}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
