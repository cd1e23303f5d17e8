"""Secrets (the gateway password, the bot token): held so that no text form shows them; every
output of the session scrubbed of the bot token.

The password needs no scrubbing: it goes to the adapter's Logon and nowhere else, so no output
can hold it. Scrubbing it would do harm: a short or common password ("1000") would blank
ordinary text where it never stood (deal ids, prices). A bot token is long and random, and
stands in the Bot API's addresses that the client library's errors name: that one is blanked
wherever it appears.
"""
import contextlib
import io
import sys
import threading
import urllib.parse
from typing import Dict, Iterable, List, Optional

HIDDEN = "***"


class Secret:
    """A secret value; its text forms hide it. `reveal()` gives it to what must use it."""

    __slots__ = ("_value",)

    def __init__(self, value: str):
        self._value = str(value)

    def reveal(self) -> str:
        return self._value

    def __repr__(self) -> str:
        return f"Secret({HIDDEN})"

    __str__ = __repr__

    def __eq__(self, other) -> bool:
        return isinstance(other, Secret) and other._value == self._value

    def __hash__(self) -> int:
        return hash(self._value)

    def __bool__(self) -> bool:
        return bool(self._value)


class Redactor:
    """Replaces every secret given, also URL-quoted, in a text by HIDDEN. Give it only what
    is long and random (tokens): whatever equals a secret is taken for it."""

    def __init__(self, secrets: Iterable[Optional[Secret]] = ()):
        self._lock = threading.Lock()
        self._values: List[str] = []
        for secret in secrets:
            self.add(secret)

    def add(self, secret: Optional[Secret]) -> None:
        if not secret:
            return
        value = secret.reveal()
        with self._lock:
            forms = {value, urllib.parse.quote(value, safe=""), urllib.parse.quote(value)}
            # Longest first, so that a secret containing another is hidden whole.
            self._values = sorted(set(self._values) | forms, key=len, reverse=True)

    def __call__(self, text: str) -> str:
        for value in self._values:
            if value in text:
                text = text.replace(value, HIDDEN)
        return text


class RedactingStream(io.TextIOBase):
    """A text stream that writes to `target` with the secrets hidden. Whole lines are
    scrubbed together; an unfinished line waits for its end or for its thread's flush().

    Each thread's unfinished line is kept apart: print() writes a text and its line end in two
    calls, and another thread's line written in between must not land inside it."""

    def __init__(self, target, redact: Redactor):
        super().__init__()
        self.target = target
        self._redact = redact
        self._lock = threading.Lock()  # guards _partial and orders the writes to target
        self._partial: Dict[int, str] = {}  # thread ident -> its unfinished line

    # Read-only, as io.TextIOBase's own is; its stub declares a plain attribute instead.
    @property
    def encoding(self):  # type: ignore[override]
        return getattr(self.target, "encoding", "utf-8")

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return bool(getattr(self.target, "isatty", lambda: False)())

    def fileno(self) -> int:
        return self.target.fileno()

    def write(self, text: str) -> int:
        thread = threading.get_ident()
        with self._lock:
            done, sep, rest = (self._partial.pop(thread, "") + text).rpartition("\n")
            if rest:
                self._partial[thread] = rest
            if sep:
                self.target.write(self._redact(done + sep))
        return len(text)

    def flush(self, every_thread: bool = False) -> None:
        """Writes out the calling thread's unfinished line (every thread's: at the end)."""
        with self._lock:
            if every_thread:
                rest, self._partial = "".join(self._partial.values()), {}
            else:
                rest = self._partial.pop(threading.get_ident(), "")
            if rest:
                self.target.write(self._redact(rest))
        flush = getattr(self.target, "flush", None)
        if flush is not None:
            flush()


@contextlib.contextmanager
def redacted_output(redact: Redactor):
    """sys.stdout and sys.stderr scrubbed of the secrets for the duration."""
    saved = sys.stdout, sys.stderr
    out = RedactingStream(saved[0], redact) if saved[0] is not None else None
    err = RedactingStream(saved[1], redact) if saved[1] is not None else None
    sys.stdout, sys.stderr = out or saved[0], err or saved[1]
    try:
        yield
    finally:
        for stream in (out, err):
            if stream is not None:
                try:
                    stream.flush(every_thread=True)
                except (OSError, ValueError):
                    pass
        sys.stdout, sys.stderr = saved
