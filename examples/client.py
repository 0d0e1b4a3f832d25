#!/usr/bin/env python3
"""Drives hidpipe from Python (standard library only): types text in any language, draws a square
with a left drag, double-clicks, scrolls and clicks the back button.

hidpipe stays running for the whole session, its standard input kept open; closing it ends the
session, and hidpipe then releases anything still held. sync() asks hidpipe to say when everything
sent so far has been delivered, where a controller would otherwise sleep a guessed time.

    HIDPIPE=/path/to/hidpipe python3 examples/client.py [text]
"""
import os
import queue
import subprocess
import sys
import threading

# A T line holds at most 93 bytes of text after "T ".
TEXT_BYTES = 93


class Hidpipe:
    """One hidpipe process and the pipe to it."""

    def __init__(self, program):
        self.process = subprocess.Popen(
            [program],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            encoding="utf-8",
            bufsize=1,
        )
        self.token = 0
        # Replies are read by a thread, so that a wait can time out on every system (select() does
        # not take pipes on Windows).
        self.replies = queue.Queue()
        threading.Thread(target=self._read_replies, daemon=True).start()

    def _read_replies(self):
        for line in self.process.stdout:
            self.replies.put(line.rstrip("\n"))
        self.replies.put(None)  # hidpipe ended

    def send(self, *lines):
        for line in lines:
            self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def sync(self, timeout=5.0):
        """Returns once hidpipe has delivered every event sent so far (an S line and its reply);
        raises TimeoutError when no reply comes within timeout seconds."""
        self.token += 1
        want = f"S {self.token}"
        self.send(want)
        try:
            while True:
                line = self.replies.get(timeout=timeout)
                if line is None:
                    raise TimeoutError("hidpipe ended before it replied")
                # Other lines are the event log's ("{...}") when it shares standard output.
                if line == want:
                    return
        except queue.Empty:
            raise TimeoutError(f"no reply to {want!r} within {timeout} s") from None

    def key(self, name):
        self.send(f"K {name} 1", f"K {name} 0")

    def type_text(self, text):
        """Types text as it is, whatever the keyboard layout: T lines of whole characters, and the
        Enter key for each line break (a T line ends at its newline)."""
        for number, line in enumerate(text.split("\n")):
            if number > 0:
                self.key("Enter")
            chunk = ""
            for ch in line:
                if len((chunk + ch).encode("utf-8")) > TEXT_BYTES:
                    self.send("T " + chunk)
                    chunk = ""
                chunk += ch
            if chunk:
                self.send("T " + chunk)

    def drag_square(self, x, y, side):
        corners = [(x + side, y), (x + side, y + side), (x, y + side), (x, y)]
        self.send(f"M {x} {y}", f"B {x} {y} 0 1")
        self.send(*(f"M {cx} {cy}" for cx, cy in corners))
        self.send(f"B {x} {y} 0 0")

    def click(self, x, y, button=0):
        """Button 0 left, 1 middle, 2 right, 3 back, 4 forward."""
        self.send(f"B {x} {y} {button} 1", f"B {x} {y} {button} 0")

    def double_click(self, x, y):
        # Written together, the second press comes well within the double-click time.
        self.click(x, y)
        self.click(x, y)

    def scroll(self, x, y, dx, dy):
        self.send(f"W {x} {y} {dx} {dy}")

    def close(self):
        # Everything sent has landed before the pipe closes and hidpipe releases what it holds.
        self.sync()
        self.process.stdin.close()
        return self.process.wait()


def main():
    text = sys.argv[1] if len(sys.argv) > 1 else "Hello, Grüße aus 東京!"
    hidpipe = Hidpipe(os.environ.get("HIDPIPE", "hidpipe"))
    try:
        hidpipe.sync()  # ready: a new uinput device, say, has settled
        hidpipe.type_text(text)
        hidpipe.sync()  # the text has reached the application: a screenshot would show it now
        hidpipe.drag_square(100, 100, 200)
        hidpipe.double_click(200, 200)
        hidpipe.scroll(200, 200, 0, 240)
        hidpipe.click(200, 200, 3)  # back
        status = hidpipe.close()
    except TimeoutError as error:
        print(f"client.py: {error}", file=sys.stderr)
        hidpipe.process.terminate()  # hidpipe releases what it holds on SIGTERM
        return 1
    if status != 0:
        print(f"hidpipe exited with status {status}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
