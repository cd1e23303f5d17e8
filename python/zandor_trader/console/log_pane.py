"""Where trace lines go while the live display owns the terminal: a pane and an optional file.

The file gets every line whole, as written. The pane keeps them short for the screen: the
thread number that starts a trace line becomes the thread's short name, record texts lose
their type clutter, and a line equal to one of the few just before it is not added again
but counted on that one, which moves to the end (a pair of lines printed at every account
refresh stays two lines with their counts).

`LogPane.redirect()` replaces sys.stdout and sys.stderr with line writers for its duration;
each stream keeps its own unfinished line, so lines of the two never mix.
"""
import contextlib
import io
import re
import sys
import threading
from collections import deque
from typing import Callable, Deque, Dict, List, Optional, Protocol, TextIO

from zandor_trader.trading.replies import MARKET_TIME_ZONE

FOLD_WINDOW = 4  # how many of the newest lines a new line is compared with
THREAD_NAMES = {"MainThread": "main", "cel_threadfunc": "cel"}  # else the name, cut to 10
THREAD_PREFIX = re.compile(r"^(\d{5,}): ")
# Record texts as Python writes them, made short: (pattern, replacement), applied in order.
CLUTTER = (
    (re.compile(r"datetime\.datetime\((\d{4}), (\d+), (\d+), (\d+), (\d+)(?:, (\d+))?(?:, \d+)?\)"),
     lambda m: f"{m[1]}-{int(m[2]):02d}-{int(m[3]):02d} {int(m[4]):02d}:{int(m[5]):02d}"
               f":{int(m[6] or 0):02d}"),
    (re.compile(r"Security\(code='([^']*)'[^)]*\)"), lambda m: m[1]),
    (re.compile(r"<\w+\.(\w+): [^>]*>"), lambda m: m[1]),
    (re.compile(r"Bar\(datetime=[\d-]+ ([\d:]+), security=(\w+), open=([^,]*), high=([^,]*), "
                r"low=([^,]*), close=([^,]*), volume=([^)]*)\)"),
     lambda m: f"bar {m[2]} {m[1]} {MARKET_TIME_ZONE} open {m[3]} high {m[4]} low {m[5]} "
               f"close {m[6]} volume {m[7]}"),
)


def tidy(line: str) -> str:
    for pattern, replace in CLUTTER:
        if "(" in line or "<" in line:
            line = pattern.sub(replace, line)
    return line


class ThreadNames:
    """Short names for the thread numbers trace lines start with."""

    def __init__(self):
        self._names: Dict[int, str] = {}
        self._unknown = 0

    def __call__(self, ident: int) -> str:
        known = self._names.get(ident)
        if known is None:
            thread = next((t for t in threading.enumerate() if t.ident == ident), None)
            if thread is not None:
                known = THREAD_NAMES.get(thread.name, thread.name[:10])
            else:
                self._unknown += 1
                known = f"thread{self._unknown}"
            self._names[ident] = known
        return known


def short_form(line: str, names: ThreadNames) -> str:
    """A trace line as the display shows it: the thread's short name, records tidied."""
    match = THREAD_PREFIX.match(line)
    if match:
        line = names(int(match[1])) + ": " + line[match.end():]
    return tidy(line)


class LogPane:
    def __init__(self, keep: int = 500, file: Optional[TextIO] = None,
                 on_line: Optional[Callable[[], None]] = None):
        self._lock = threading.Lock()  # guards the members below and writes to file
        self._entries: Deque[List] = deque(maxlen=keep)  # [short line, times seen]
        self._count = 0  # lines shown, a folded line once
        self._names = ThreadNames()
        self.file = file
        self.on_line = on_line

    def add(self, line: str) -> None:
        with self._lock:
            if self.file is not None:
                self.file.write(line + "\n")
                self.file.flush()
            short = self._shorten(line)
            for back in range(1, min(FOLD_WINDOW, len(self._entries)) + 1):
                entry = self._entries[-back]
                if entry[0] == short:
                    del self._entries[-back]
                    entry[1] += 1
                    self._entries.append(entry)
                    break
            else:
                self._entries.append([short, 1])
                self._count += 1
        if self.on_line is not None:
            self.on_line()

    def _shorten(self, line: str) -> str:
        return short_form(line, self._names)

    def lines(self, last: Optional[int] = None) -> List[str]:
        """The newest `last` lines (all kept when None), a folded one with its count."""
        with self._lock:
            entries = list(self._entries) if last is None else \
                list(self._entries)[-last:] if last > 0 else []
        return [text if times == 1 else f"{text}  (x{times})" for text, times in entries]

    def count(self) -> int:
        """How many lines the pane has shown so far, a folded line once."""
        with self._lock:
            return self._count

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


class LineSink(Protocol):
    def add(self, line: str) -> None: ...


class LineWriter(io.TextIOBase):
    """A text stream that hands each finished line to a LogPane (or any LineSink). Each
    thread's unfinished line is kept apart, so that a line another thread writes meanwhile
    never lands inside it."""

    def __init__(self, pane: LineSink, prefix: str = ""):
        super().__init__()
        self._pane = pane
        self._prefix = prefix
        self._lock = threading.Lock()  # guards _partial and orders the hand-overs
        self._partial: Dict[int, str] = {}  # thread ident -> its unfinished line

    encoding = "utf-8"

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        thread = threading.get_ident()
        with self._lock:  # held while handing over, so that lines keep the order written
            *lines, rest = (self._partial.pop(thread, "") + text).split("\n")
            if rest:
                self._partial[thread] = rest
            for line in lines:
                self._pane.add(self._prefix + line)
        return len(text)

    def close(self) -> None:
        with self._lock:
            rests, self._partial = list(self._partial.values()), {}
        for rest in rests:
            self._pane.add(self._prefix + rest)
        super().close()
