"""Drives the keyboard and mouse through hidpipe: one long-lived hidpipe process, fed one command
per line. Every argument is checked before anything is sent, so hidpipe never gets a line it would
ignore.

    with Hidpipe() as h:
        h.click(100, 200)
        h.type("Grüße aus 東京\\n")
        h.sync()  # the events have been delivered
"""

from __future__ import annotations

import collections
import os
import queue
import shutil
import subprocess
import sys
import threading
from typing import Optional, Sequence, Tuple, Union

from ._keys import KEYS

__all__ = ["Hidpipe", "HidpipeError", "KEYS", "BUTTONS", "__version__"]
__version__ = "0.2.0"

# Buttons by name, as MouseEvent.button numbers them.
BUTTONS = {"left": 0, "middle": 1, "right": 2, "back": 3, "forward": 4}

_KEY_SET = frozenset(KEYS)
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_TEXT_BYTES = 93  # of text after "T " in one line
_SCROLL_MAX = 1000
_PAUSE_MAX = 60000
_REMARKS = 50  # lines of hidpipe's diagnostics kept for an error's reason

Button = Union[str, int]


class HidpipeError(Exception):
    """hidpipe could not start, ended early, or ended with a failure status. status is its exit
    status (negative: the signal that ended it), or None while it runs; reason is what it said."""

    def __init__(self, message: str, status: Optional[int] = None, reason: str = ""):
        super().__init__(message + (": " + reason if reason else ""))
        self.status = status
        self.reason = reason


def _number(name: str, value: object, low: int = _INT_MIN, high: int = _INT_MAX) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low} to {high}, not {value}")
    return value


def _button(value: Button) -> int:
    if isinstance(value, str):
        if value not in BUTTONS:
            raise ValueError(f"button must be one of {', '.join(BUTTONS)}, not {value!r}")
        return BUTTONS[value]
    return _number("button", value, 0, 4)


def _key(code: object) -> str:
    if not isinstance(code, str) or code not in _KEY_SET:
        raise ValueError(f"unknown key {code!r}: a KeyboardEvent code hidpipe knows, such as KeyA or ShiftLeft")
    return code


def _text_lines(text: str) -> list:
    """The lines that type text: T lines of whole characters, and Enter for each line break (a
    newline, a carriage return and newline, or a carriage return alone)."""
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    if "\0" in text:
        raise ValueError("text cannot hold a NUL character")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise ValueError(f"text is not Unicode text: a lone surrogate at {error.start}") from None
    lines = []
    for number, part in enumerate(text.replace("\r\n", "\n").replace("\r", "\n").split("\n")):
        if number > 0:
            lines += ["K Enter 1", "K Enter 0"]
        chunk, size = [], 0
        for ch in part:
            n = len(ch.encode("utf-8"))
            if size + n > _TEXT_BYTES:
                lines.append("T " + "".join(chunk))
                chunk, size = [], 0
            chunk.append(ch)
            size += n
        if chunk:
            lines.append("T " + "".join(chunk))
    return lines


class Hidpipe:
    """One hidpipe process. program is its path: by default $HIDPIPE, else hidpipe on PATH. backend
    sets HIDPIPE_BACKEND for it (None: its automatic choice); verbose passes its diagnostics on to
    this process's standard error. env, where given, is its whole environment."""

    def __init__(
        self,
        program: Optional[str] = None,
        backend: Optional[str] = None,
        verbose: bool = False,
        env: Optional[dict] = None,
    ):
        path = program or os.environ.get("HIDPIPE") or shutil.which("hidpipe")
        if not path:
            raise HidpipeError("hidpipe is not installed: install it, or set HIDPIPE to its path")
        environment = dict(os.environ if env is None else env)
        if backend is not None:
            if not isinstance(backend, str) or not backend or not backend.isalnum():
                raise ValueError(f"backend must be a backend's name, such as x11, not {backend!r}")
            environment["HIDPIPE_BACKEND"] = backend
        self._verbose = verbose
        self._token = 0
        self._position: Optional[Tuple[int, int]] = None  # where the pointer was put last
        self._remarks: collections.deque = collections.deque(maxlen=_REMARKS)
        self._replies: queue.Queue = queue.Queue()
        self._status: Optional[int] = None
        try:
            # Always -v: its words are the reason when it fails.
            self._process = subprocess.Popen(
                [path, "-v"],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env=environment,
            )
        except OSError as error:
            raise HidpipeError(f"cannot run {path}", reason=str(error)) from None
        # Threads read its output, so that a wait can time out on every system.
        self._readers = [
            threading.Thread(target=self._read_replies, daemon=True),
            threading.Thread(target=self._read_remarks, daemon=True),
        ]
        for reader in self._readers:
            reader.start()

    def _read_replies(self) -> None:
        for line in self._process.stdout:
            self._replies.put(line.decode("utf-8", "replace").rstrip("\n"))
        self._replies.put(None)  # it ended

    def _read_remarks(self) -> None:
        for raw in self._process.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self._remarks.append(line)
            if self._verbose:
                print(line, file=sys.stderr, flush=True)

    def _reason(self) -> str:
        # Where it started is no reason; what it said after is.
        said = [line for line in self._remarks if not line.startswith("hidpipe: events go to")]
        return "\n".join(said[-5:])

    def _reap(self, status: int) -> int:
        for reader in self._readers:
            reader.join(timeout=1)
        for stream in (self._process.stdin, self._process.stdout, self._process.stderr):
            try:
                stream.close()
            except OSError:  # the input's last bytes had nowhere to go
                pass
        self._status = status
        return status

    def _ended(self, what: str) -> HidpipeError:
        status = self._reap(self._process.wait())
        return HidpipeError(what, status, self._reason())

    def send(self, *lines: str) -> None:
        """Writes lines as they are. Raises HidpipeError when hidpipe has ended."""
        data = "".join(line + "\n" for line in lines).encode("utf-8")
        try:
            self._process.stdin.write(data)
            self._process.stdin.flush()
        except (BrokenPipeError, ValueError):
            raise self._ended("hidpipe ended before it took the commands") from None

    # The pointer.
    def move(self, x: int, y: int) -> None:
        """Moves the pointer to (x, y); a drag while a button is held."""
        self.send(f"M {_number('x', x)} {_number('y', y)}")
        self._position = (x, y)

    def move_by(self, dx: int, dy: int) -> None:
        """Moves the pointer by (dx, dy) from wherever it is, as pointer-locked programs read it."""
        self.send(f"D {_number('dx', dx)} {_number('dy', dy)}")
        self._position = None

    def _at(self, x: Optional[int], y: Optional[int], what: str) -> Tuple[int, int]:
        if x is None and y is None:
            if self._position is None:
                raise ValueError(f"{what}: no position known: move(x, y) first, or give x and y")
            return self._position
        if x is None or y is None:
            raise ValueError(f"{what}: give both x and y, or neither")
        return _number("x", x), _number("y", y)

    def press(self, button: Button = "left", x: Optional[int] = None, y: Optional[int] = None) -> None:
        """Presses button ("left", "middle", "right", "back", "forward", or 0 to 4) at (x, y), or
        where the pointer was put last."""
        b = _button(button)
        px, py = self._at(x, y, "press")
        self.send(f"B {px} {py} {b} 1")
        self._position = (px, py)

    def release(self, button: Button = "left", x: Optional[int] = None, y: Optional[int] = None) -> None:
        """Releases button at (x, y), or where the pointer was put last."""
        b = _button(button)
        px, py = self._at(x, y, "release")
        self.send(f"B {px} {py} {b} 0")
        self._position = (px, py)

    def click(self, x: int, y: int, button: Button = "left", count: int = 1) -> None:
        """Clicks button count times (1 to 3: a double or triple click) at (x, y), all in one write,
        well within the double-click time."""
        b, n = _button(button), _number("count", count, 1, 3)
        down, up = f"B {_number('x', x)} {_number('y', y)} {b} 1", f"B {x} {y} {b} 0"
        self.send(*([down, up] * n))
        self._position = (x, y)

    def drag(self, path: Sequence[Tuple[int, int]], button: Button = "left") -> None:
        """Presses button at the path's first point, moves through the rest, and releases at the
        last. The path has at least two points."""
        b = _button(button)
        points = [(_number("x", x), _number("y", y)) for x, y in path]
        if len(points) < 2:
            raise ValueError("drag: the path needs at least two points")
        (x0, y0), (xn, yn) = points[0], points[-1]
        lines = [f"B {x0} {y0} {b} 1"] + [f"M {x} {y}" for x, y in points[1:]] + [f"B {xn} {yn} {b} 0"]
        self.send(*lines)
        self._position = (xn, yn)

    def scroll(self, x: int, y: int, dx: int, dy: int) -> None:
        """Scrolls by (dx, dy) pixels at (x, y), each -1000 to 1000: positive is right and down, as a
        web page's wheel deltas are; 120 is a wheel's notch."""
        self.send(
            f"W {_number('x', x)} {_number('y', y)} "
            f"{_number('dx', dx, -_SCROLL_MAX, _SCROLL_MAX)} {_number('dy', dy, -_SCROLL_MAX, _SCROLL_MAX)}"
        )
        self._position = (x, y)

    # The keyboard.
    def key_down(self, code: str) -> None:
        """Presses the key of that KeyboardEvent code ("KeyA", "ShiftLeft", ...)."""
        self.send(f"K {_key(code)} 1")

    def key_up(self, code: str) -> None:
        """Releases the key of that code."""
        self.send(f"K {_key(code)} 0")

    def tap(self, *codes: str) -> None:
        """Presses the keys in order and releases them in reverse: tap("ControlLeft", "KeyC")."""
        if not codes:
            raise ValueError("tap: name at least one key")
        names = [_key(code) for code in codes]
        self.send(*([f"K {n} 1" for n in names] + [f"K {n} 0" for n in reversed(names)]))

    def type(self, text: str) -> None:
        """Types text as it is, whatever the keyboard layout; each line break is the Enter key."""
        lines = _text_lines(text)
        if lines:
            self.send(*lines)

    # The session.
    def release_all(self) -> None:
        """Releases every held key, then every held button."""
        self.send("R")

    def pause(self, ms: int) -> None:
        """Makes hidpipe wait ms milliseconds (0 to 60000) before it reads on."""
        self.send(f"P {_number('ms', ms, 0, _PAUSE_MAX)}")

    def sync(self, timeout: float = 5.0) -> None:
        """Returns once every event sent so far has been delivered. Raises TimeoutError when no
        answer comes within timeout seconds, HidpipeError when hidpipe ended."""
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            raise ValueError(f"timeout must be a number of seconds above 0, not {timeout!r}")
        self._token += 1
        want = f"S {self._token}"
        self.send(want)
        try:
            while True:
                line = self._replies.get(timeout=timeout)
                if line is None:
                    raise self._ended("hidpipe ended before it answered")
                if line == want:
                    return
        except queue.Empty:
            raise TimeoutError(f"hidpipe did not answer within {timeout} s") from None

    def close(self, timeout: float = 10.0) -> int:
        """Ends the input, so that hidpipe releases what is held, and waits for it to exit. Returns
        its status, 0; raises HidpipeError with hidpipe's reason on any other."""
        if self._status is not None:
            if self._status != 0:
                raise HidpipeError(f"hidpipe ended with status {self._status}", self._status, self._reason())
            return self._status
        try:
            self._process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            status = self._process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            status = self._process.wait()
        self._reap(status)
        if status != 0:
            raise HidpipeError(f"hidpipe ended with status {status}", status, self._reason())
        return status

    def __enter__(self) -> "Hidpipe":
        return self

    def __exit__(self, kind, value, traceback) -> None:
        if kind is None:
            self.close()
            return
        # An error of the caller's is the one to see; hidpipe still ends and releases.
        try:
            self.close()
        except HidpipeError:
            pass
