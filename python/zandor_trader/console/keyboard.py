"""Reading the operator's lines from the terminal on a thread of its own, which stop() ends.

On a terminal in display mode the keys are read one by one (no echo; the display shows the
line being typed); otherwise whole lines come as the terminal or pipe delivers them. What was
typed and not read when the session ends is thrown away (`discard_typeahead`), so that it does
not reach the shell as commands. While the input line is empty, Left and Right choose a button
of the newest question and Enter presses it.
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
TOGGLE_ORDERS = "\t"  # Tab: the orders panel shows the working orders only, or all
HISTORY = 200  # lines kept for Up/Down
# Escape sequences of the keys that do something (CSI and SS3 forms); others are dropped.
KEYS = {"\x1b[A": "up", "\x1bOA": "up", "\x1b[B": "down", "\x1bOB": "down",
        "\x1b[5~": "page_up", "\x1b[6~": "page_down",
        "\x1b[F": "end", "\x1bOF": "end", "\x1b[4~": "end", "\x1b[8~": "end",
        "\x1b[D": "left", "\x1bOD": "left", "\x1b[C": "right", "\x1bOC": "right"}
SCROLL_KEYS = {"page_up": "up", "page_down": "down", "end": "end"}  # key -> Scroll method
BUTTON_KEYS = {"left": -1, "right": 1}  # key -> step among a question's buttons


def discard_typeahead(fd: int) -> None:
    """Throws away what was typed on the terminal `fd` and not read yet (nothing elsewhere)."""
    try:
        if termios is not None and os.isatty(fd):  # (a terminal off POSIX: no such call)
            termios.tcflush(fd, termios.TCIFLUSH)
    except OSError:  # the terminal is gone: nothing left to reach the shell
        pass


class LineEditor:
    """Turns typed characters into lines: backspace, Ctrl-U; Up and Down recall the lines
    entered before (the line being typed comes back after the newest); PageUp, PageDown and
    End move `scroll` (the chat's scrollback, when given); Tab toggles `orders` (the orders
    panel's filter, when given); on an empty line Left and Right choose among `buttons` (a
    ButtonChoice, when given) and Enter presses the one chosen; other escape sequences are
    dropped."""

    def __init__(self, scroll=None, orders=None, buttons=None):
        self.buffer = ""
        self.scroll = scroll
        self.orders = orders
        self.buttons = buttons
        self._escape = ""  # an escape sequence being read
        self._history: List[str] = []
        self._recalled: Optional[int] = None  # index in _history shown in the buffer
        self._draft = ""  # what was typed before Up

    def feed(self, text: str) -> List[str]:
        """Takes typed text; returns the lines it completed."""
        lines = []
        for ch in text:
            if self._escape:
                self._escape += ch
                if self._escape_done():
                    self._key(KEYS.get(self._escape))
                    self._escape = ""
            elif ch == "\x1b":
                self._escape = ch
            elif ch in "\r\n":
                line = self.buffer.strip()
                if line:
                    lines.append(line)
                    self._remember(line)
                elif self.buttons is not None:
                    self.buttons.press()
                self.buffer, self._recalled = "", None
                if self.scroll is not None:
                    self.scroll.end()
            elif ch in ERASE:
                self.buffer = self.buffer[:-1]
            elif ch == KILL_LINE:
                self.buffer = ""
            elif ch == TOGGLE_ORDERS:
                if self.orders is not None:
                    self.orders.toggle()
            elif ch.isprintable():
                self.buffer += ch
        return lines

    def _escape_done(self) -> bool:
        seq = self._escape
        if len(seq) == 2:
            return seq[1] not in "[O"  # else Alt+key: done, and dropped
        if seq[1] == "O":
            return True
        return "@" <= seq[-1] <= "~"  # ESC [ parameters ... until a final byte

    def _remember(self, line: str) -> None:
        if not self._history or self._history[-1] != line:
            self._history.append(line)
            del self._history[:-HISTORY]

    def _key(self, key: Optional[str]) -> None:
        if key == "up" and self._history:
            if self._recalled is None:
                self._draft, self._recalled = self.buffer, len(self._history)
            self._recalled = max(self._recalled - 1, 0)
            self.buffer = self._history[self._recalled]
        elif key == "down" and self._recalled is not None:
            self._recalled += 1
            if self._recalled >= len(self._history):
                self.buffer, self._recalled = self._draft, None
            else:
                self.buffer = self._history[self._recalled]
        elif self.scroll is not None and key in SCROLL_KEYS:
            getattr(self.scroll, SCROLL_KEYS[key])()
        elif self.buttons is not None and key in BUTTON_KEYS and not self.buffer:
            self.buttons.move(BUTTON_KEYS[key])


class KeyboardReader:
    """Reads `fd` until stop() or end of input; `on_line(line)` for each line entered,
    `on_change()` after every key (when keys are read one by one)."""

    def __init__(self, fd: int, on_line: Callable[[str], None],
                 on_change: Optional[Callable[[], None]] = None, keys: bool = False, scroll=None,
                 orders=None, buttons=None):
        self.fd = fd
        self.on_line = on_line
        self.on_change = on_change
        self.editor = LineEditor(scroll, orders, buttons if keys else None)
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
            # Keys one by one, no echo; Ctrl-C still interrupts. What was typed before (while
            # the session started) is kept, not flushed.
            tty.setcbreak(self.fd, termios.TCSANOW)
        self._thread.start()
        return self

    def stop(self) -> None:
        os.write(self._wake_w, b"x")
        if self._thread.ident is not None:
            self._thread.join()
        discard_typeahead(self.fd)
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
