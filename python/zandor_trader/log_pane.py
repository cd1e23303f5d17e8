"""Where trace lines go while the live display owns the terminal: a pane and an optional file.

`LogPane.redirect()` replaces sys.stdout and sys.stderr with line writers for its duration;
each stream keeps its own unfinished line, so lines of the two never mix.
"""
import contextlib
import io
import sys
import threading
from collections import deque
from typing import Callable, Deque, List, Optional, TextIO


class LogPane:
    def __init__(self, keep: int = 500, file: Optional[TextIO] = None,
                 on_line: Optional[Callable[[], None]] = None):
        self._lock = threading.Lock()  # guards _lines and writes to file
        self._lines: Deque[str] = deque(maxlen=keep)
        self.file = file
        self.on_line = on_line

    def add(self, line: str) -> None:
        with self._lock:
            self._lines.append(line)
            if self.file is not None:
                self.file.write(line + "\n")
                self.file.flush()
        if self.on_line is not None:
            self.on_line()

    def lines(self, last: Optional[int] = None) -> List[str]:
        with self._lock:
            lines = list(self._lines)
        return lines if last is None else lines[-last:] if last > 0 else []

    @contextlib.contextmanager
    def redirect(self):
        out, err = LineWriter(self), LineWriter(self, "stderr: ")
        saved = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = out, err
        try:
            yield self
        finally:
            sys.stdout, sys.stderr = saved
            out.close()
            err.close()


class LineWriter(io.TextIOBase):
    """A text stream that hands each finished line to a LogPane."""

    def __init__(self, pane: LogPane, prefix: str = ""):
        super().__init__()
        self._pane = pane
        self._prefix = prefix
        self._lock = threading.Lock()  # guards _partial and orders the hand-overs
        self._partial = ""

    encoding = "utf-8"

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        with self._lock:  # held while handing over, so that lines keep the order written
            *lines, self._partial = (self._partial + text).split("\n")
            for line in lines:
                self._pane.add(self._prefix + line)
        return len(text)

    def close(self) -> None:
        with self._lock:
            rest, self._partial = self._partial, ""
        if rest:
            self._pane.add(self._prefix + rest)
        super().close()
