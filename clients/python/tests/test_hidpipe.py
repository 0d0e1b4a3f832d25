"""The client library against the real program ($HIDPIPE): each call's events in the event log
(the none backend) are those of the lines it stands for; bad arguments send nothing; hidpipe's
failures raise with its reason; and on Xvfb ($X11_READER) an X application gets exactly the text
typed. Run: HIDPIPE=build/debug/hidpipe python3 -m unittest discover -s clients/python/tests"""

import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import hidpipe  # noqa: E402  (the package beside, not an installed one)
from hidpipe import Hidpipe, HidpipeError  # noqa: E402

PROGRAM = os.environ.get("HIDPIPE", "")
SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "..")


def logged(run, lines=None):
    """The events hidpipe logs for run(h) on the none backend, or, with lines, for those lines
    written to it directly."""
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "log")
        env = dict(os.environ, HIDPIPE_SIM_LOG=log)
        if lines is None:
            with Hidpipe(PROGRAM, backend="none", env=env) as h:
                run(h)
        else:
            env["HIDPIPE_BACKEND"] = "none"
            subprocess.run([PROGRAM], input="".join(x + "\n" for x in lines).encode(), env=env, check=True,
                           stdout=subprocess.DEVNULL)
        with open(log, encoding="utf-8") as f:
            return [json.loads(line) for line in f]


# Each call, and the lines it stands for.
CALLS = [
    ("move", lambda h: h.move(10, -20), ["M 10 -20"]),
    ("move_by", lambda h: (h.move(5, 5), h.move_by(-3, 4)), ["M 5 5", "D -3 4"]),
    ("press and release", lambda h: (h.move(7, 8), h.press(), h.release("left")), ["M 7 8", "B 7 8 0 1", "B 7 8 0 0"]),
    ("press at a place", lambda h: h.press("back", 3, 4), ["B 3 4 3 1"]),
    ("click", lambda h: h.click(10, 20), ["B 10 20 0 1", "B 10 20 0 0"]),
    ("double right click", lambda h: h.click(10, 20, "right", 2), ["B 10 20 2 1", "B 10 20 2 0"] * 2),
    ("triple click", lambda h: h.click(1, 2, 0, 3), ["B 1 2 0 1", "B 1 2 0 0"] * 3),
    ("drag", lambda h: h.drag([(0, 0), (5, 0), (5, 5)], "middle"), ["B 0 0 1 1", "M 5 0", "M 5 5", "B 5 5 1 0"]),
    ("scroll", lambda h: h.scroll(9, 9, -1000, 120), ["W 9 9 -1000 120"]),
    ("key_down and key_up", lambda h: (h.key_down("ShiftLeft"), h.key_up("ShiftLeft")), ["K ShiftLeft 1", "K ShiftLeft 0"]),
    ("tap", lambda h: h.tap("ControlLeft", "AltLeft", "KeyC"),
     ["K ControlLeft 1", "K AltLeft 1", "K KeyC 1", "K KeyC 0", "K AltLeft 0", "K ControlLeft 0"]),
    ("type", lambda h: h.type("a b"), ["T a b"]),
    ("type lines", lambda h: h.type("x\ny\r\nz\r"), ["T x", "K Enter 1", "K Enter 0", "T y", "K Enter 1", "K Enter 0",
                                                    "T z", "K Enter 1", "K Enter 0"]),
    ("type long", lambda h: h.type("é" * 50), ["T " + "é" * 46, "T " + "é" * 4]),
    ("release_all", lambda h: (h.key_down("KeyA"), h.press("left", 1, 1), h.release_all()),
     ["K KeyA 1", "B 1 1 0 1", "R"]),
    ("pause", lambda h: h.pause(0), ["P 0"]),
    ("sync", lambda h: h.sync(), ["S 1"]),
]

# Calls that must raise before they send anything, and what the error names.
BAD_CALLS = [
    ("an unknown key", lambda h: h.key_down("KeyAA"), ValueError, "KeyAA"),
    ("a key that is not a str", lambda h: h.tap("KeyA", 3), ValueError, "3"),
    ("tap of nothing", lambda h: h.tap(), ValueError, "at least one"),
    ("an unknown button", lambda h: h.click(1, 1, "thumb"), ValueError, "thumb"),
    ("a button past 4", lambda h: h.press(5, 1, 1), ValueError, "button"),
    ("a press with no position", lambda h: h.press(), ValueError, "no position"),
    ("x alone", lambda h: h.press("left", 1), ValueError, "both x and y"),
    ("a float", lambda h: h.move(1.5, 2), TypeError, "x"),
    ("a bool", lambda h: h.move(True, 2), TypeError, "x"),
    ("past 32 bits", lambda h: h.move(2**31, 0), ValueError, "x"),
    ("a scroll past 1000", lambda h: h.scroll(0, 0, 0, 1001), ValueError, "dy"),
    ("a count of 4", lambda h: h.click(1, 1, "left", 4), ValueError, "count"),
    ("a drag of one point", lambda h: h.drag([(1, 1)]), ValueError, "two points"),
    ("a pause past a minute", lambda h: h.pause(60001), ValueError, "ms"),
    ("text with NUL", lambda h: h.type("a\0b"), ValueError, "NUL"),
    ("a lone surrogate", lambda h: h.type("a\ud800"), ValueError, "surrogate"),
    ("a timeout of 0", lambda h: h.sync(0), ValueError, "timeout"),
]


@unittest.skipUnless(PROGRAM, "HIDPIPE names no program")
class Calls(unittest.TestCase):
    def test_each_call_logs_the_events_of_its_lines(self):
        for what, run, lines in CALLS:
            with self.subTest(what):
                self.assertEqual(logged(run), logged(None, lines))

    def test_clicks_are_counted_and_text_is_whole(self):
        clicks = [e["click"] for e in logged(lambda h: h.click(4, 4, "left", 3)) if e["type"] == 1]
        self.assertEqual(clicks, [1, 2, 3])
        text = "Grüße aus 東京, 🙂 " * 10
        typed = "".join(e.get("text", "") for e in logged(lambda h: h.type(text)) if e["type"] == 10)
        self.assertEqual(typed, text)

    def test_bad_arguments_send_nothing(self):
        for what, run, kind, named in BAD_CALLS:
            with self.subTest(what):
                def attempt(h):
                    with self.assertRaises(kind) as caught:
                        run(h)
                    self.assertIn(named, str(caught.exception))
                    h.sync()  # all that was sent has been taken
                self.assertEqual(logged(attempt), [])

    def test_a_relative_move_forgets_the_position(self):
        def attempt(h):
            h.move(1, 1)
            h.move_by(1, 1)
            with self.assertRaises(ValueError):
                h.press()
        self.assertEqual(logged(attempt), logged(None, ["M 1 1", "D 1 1"]))

    def test_the_key_names_are_the_programs(self):
        with open(os.path.join(SOURCE, "src", "keyboard", "keys.h"), encoding="utf-8") as f:
            table = re.findall(r'^    \{"(\w+)",', f.read(), re.M)
        self.assertEqual(list(hidpipe.KEYS), table)

    def test_the_version_is_the_programs(self):
        said = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True, check=True).stdout
        self.assertIn(hidpipe.__version__, said)


@unittest.skipUnless(PROGRAM, "HIDPIPE names no program")
class Failures(unittest.TestCase):
    def test_a_bad_backend_raises_with_the_reason(self):
        with self.assertRaises(HidpipeError) as caught:
            with Hidpipe(PROGRAM, backend="nosuch") as h:
                h.sync()
        self.assertEqual(caught.exception.status, 1)
        self.assertIn("nosuch", caught.exception.reason)

    def test_an_early_exit_raises_at_the_next_call(self):
        env = dict(os.environ, HIDPIPE_SIM_FAIL="source")
        h = Hidpipe(PROGRAM, backend="none", env=env)
        with self.assertRaises(HidpipeError) as caught:
            for _ in range(100):  # until the pipe has gone, or its answer did not come
                h.move(1, 1)
                h.sync()
        self.assertEqual(caught.exception.status, 1)
        with self.assertRaises(HidpipeError):
            h.close()

    def test_a_program_that_is_not_there(self):
        with self.assertRaises(HidpipeError) as caught:
            Hidpipe("/nonexistent/hidpipe")
        self.assertIn("/nonexistent/hidpipe", str(caught.exception))

    def test_a_killed_hidpipe_fails_the_close(self):
        h = Hidpipe(PROGRAM, backend="none", env=dict(os.environ, HIDPIPE_SIM_LOG="/dev/null"))
        h.sync()
        h._process.kill()
        with self.assertRaises(HidpipeError) as caught:
            h.close()
        self.assertLess(caught.exception.status, 0)


class X11Reader:
    """Xvfb on a display of its own, and the X application that prints what it is typed."""

    def __init__(self, reader):
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n") and select.select([read], [], [], 10)[0]:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.reader = subprocess.Popen([reader], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=self.env)
        self.pending = b""
        self.wait_for("ready")

    def wait_for(self, word, seconds=10):
        """The reader's lines before word. Its pipe is read as it comes (a buffered readline
        would keep lines that select then does not see)."""
        lines, until, fd = [], time.monotonic() + seconds, self.reader.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                if line.decode() == word:
                    return lines
                lines.append(line.decode())
            left = until - time.monotonic()
            chunk = os.read(fd, 4096) if left > 0 and select.select([fd], [], [], left)[0] else b""
            if not chunk:
                raise AssertionError(f"no {word!r} from the reader; it said {lines}")
            self.pending += chunk

    def typed(self):
        """Every character typed so far, once the reader has drained its events."""
        self.reader.stdin.write(b"?\n")
        self.reader.stdin.flush()
        text = ""
        for line in self.wait_for("drained"):
            if line.startswith("c "):
                text += "".join(chr(int(code, 16)) for code in line.split()[1:])
        return text

    def stop(self):
        for process in (self.reader, self.server):
            process.kill()
            process.wait()
        self.reader.stdin.close()
        self.reader.stdout.close()


class X11(unittest.TestCase):
    def test_type_and_sync_give_the_application_every_character(self):
        if not (PROGRAM and os.environ.get("X11_READER") and shutil.which("Xvfb")):
            if os.environ.get("HIDPIPE_REQUIRE_X11"):
                self.fail("needs HIDPIPE, X11_READER and Xvfb (apt-get install xvfb)")
            self.skipTest("needs HIDPIPE, X11_READER and Xvfb")
        x = X11Reader(os.environ["X11_READER"])
        self.addCleanup(x.stop)
        text = "Grüße aus 東京!\nab\tc 🙂" + "ä" * 60
        with Hidpipe(PROGRAM, backend="x11", env=x.env) as h:
            h.type(text)
            h.sync()
            self.assertEqual(x.typed(), text.replace("\n", "\r"))
            h.tap("ShiftLeft", "KeyA")
            h.sync()
            self.assertEqual(x.typed(), "A")


if __name__ == "__main__":
    unittest.main()
