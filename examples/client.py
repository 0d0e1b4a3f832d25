#!/usr/bin/env python3
"""Drives hidpipe from Python through its client library (clients/python; pip install it, or run
with PYTHONPATH=clients/python): types text in any language, draws a square with a left drag,
double-clicks, scrolls and clicks the back button.

hidpipe stays running for the whole session; leaving the with block ends it, and hidpipe then
releases anything still held. sync() returns once everything sent so far has been delivered, where a
controller would otherwise sleep a guessed time.

    HIDPIPE=/path/to/hidpipe python3 examples/client.py [text]
"""
import sys

from hidpipe import Hidpipe, HidpipeError


def main():
    text = sys.argv[1] if len(sys.argv) > 1 else "Hello, Grüße aus 東京!"
    try:
        with Hidpipe() as h:
            h.sync()  # ready: a new uinput device, say, has settled
            h.type(text)
            h.sync()  # the text has reached the application: a screenshot would show it now
            h.move(100, 100)
            h.drag([(100, 100), (300, 100), (300, 300), (100, 300), (100, 100)])
            h.click(200, 200, count=2)
            h.scroll(200, 200, 0, 240)
            h.click(200, 200, "back")
            h.sync()
    except (HidpipeError, TimeoutError) as error:
        print(f"client.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
