"""Reading the operator's lines from the terminal on a thread of its own, which stop() ends.

On a terminal in display mode the keys are read one by one (no echo; the display shows the
line being typed); otherwise whole lines come as the terminal or pipe delivers them.
"""
import codecs
import os
import select
import threading
from typing import Any, Callable, List, Optional

try:
    import termios
    import tty
except ImportError:  # not a POSIX system
    termios = tty = None  # type: ignore[assignment]

ERASE = ("\x7f", "\b")
KILL_LINE = "\x15"  # Ctrl-U


class LineEditor:
    """Turns typed characters into lines: backspace, Ctrl-U; escape sequences are dropped."""

    def __init__(self):
        self.buffer = ""
        self._escape = ""  # an escape sequence being skipped

    def feed(self, text: str) -> List[str]:
        """Takes typed text; returns the lines it completed."""
        lines = []
        for ch in text:
            if self._escape == "\x1b":
                self._escape = "\x1b" + ch if ch in "[O" else ""  # else Alt+key: dropped
            elif self._escape == "\x1bO":
                self._escape = ""
            elif self._escape:  # ESC [ parameters ... until a final byte
                if "@" <= ch <= "~":
                    self._escape = ""
            elif ch == "\x1b":
                self._escape = ch
            elif ch in "\r\n":
                if self.buffer.strip():
                    lines.append(self.buffer.strip())
                self.buffer = ""
            elif ch in ERASE:
                self.buffer = self.buffer[:-1]
            elif ch == KILL_LINE:
                self.buffer = ""
            elif ch.isprintable():
                self.buffer += ch
        return lines


class KeyboardReader:
    """Reads `fd` until stop() or end of input; `on_line(line)` for each line entered,
    `on_change()` after every key (when keys are read one by one)."""

    def __init__(self, fd: int, on_line: Callable[[str], None],
                 on_change: Optional[Callable[[], None]] = None, keys: bool = False):
        self.fd = fd
        self.on_line = on_line
        self.on_change = on_change
        self.editor = LineEditor()
        self._keys = keys and termios is not None and os.isatty(fd)
        self._saved_mode: Optional[List[Any]] = None
        self._wake_r, self._wake_w = os.pipe()  # a byte here ends the thread's wait
        self._thread = threading.Thread(target=self._run, name="keyboard", daemon=True)

    @property
    def typing(self) -> str:
        return self.editor.buffer

    def start(self) -> "KeyboardReader":
        if self._keys:
            self._saved_mode = termios.tcgetattr(self.fd)
            tty.setcbreak(self.fd)  # keys one by one, no echo; Ctrl-C still interrupts
        self._thread.start()
        return self

    def stop(self) -> None:
        os.write(self._wake_w, b"x")
        if self._thread.ident is not None:
            self._thread.join()
        if self._saved_mode is not None:
            termios.tcsetattr(self.fd, termios.TCSADRAIN, self._saved_mode)
            self._saved_mode = None
        os.close(self._wake_r)
        os.close(self._wake_w)

    def _run(self) -> None:
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        while True:
            ready, _, _ = select.select([self.fd, self._wake_r], [], [])
            if self._wake_r in ready:
                return
            data = os.read(self.fd, 1024)
            if not data:  # end of input: nothing more to read
                for line in self.editor.feed(decoder.decode(b"", final=True) + "\n"):
                    self.on_line(line)
                return
            for line in self.editor.feed(decoder.decode(data)):
                self.on_line(line)
            if self._keys and self.on_change is not None:
                self.on_change()
