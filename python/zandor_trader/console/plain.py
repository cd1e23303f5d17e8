"""Plain mode's output: the conversation, with the trace lines in between in the display's
short form, on standard output; every trace line whole in the log file, when there is one.

Standard output is a stream, so a repeated line cannot be counted where it stands as on the
display. A trace line equal to one of the few printed just before it is held back and counted;
the count is printed, on the line again with its total ("(x14)"), before the next line that is
printed (trace or chat), after every HOLD_AT repeats, and at the end.
"""
import contextlib
import sys
import threading
from collections import deque
from typing import Deque, List, Optional, TextIO

from zandor_trader.chat.chat_log import with_buttons
from zandor_trader.console.chat_pane import BOT_STAMP
from zandor_trader.console.log_pane import FOLD_WINDOW, LineWriter, ThreadNames, short_form
from zandor_trader.console.transcript import entry_lines

HOLD_AT = 100  # repeats held back at most before their count is printed


@contextlib.contextmanager
def plain_output(log_path: Optional[str] = None):
    """Standard output made plain mode's for the duration (see PlainOutput.redirect), every
    trace line also appended to the file `log_path`, when given."""
    log_file = open(log_path, "a", encoding="utf-8") if log_path else None
    try:
        with PlainOutput(sys.stdout, file=log_file).redirect() as plain:
            yield plain
    finally:
        if log_file is not None:
            log_file.close()


class _Recent:
    __slots__ = ("text", "total", "printed")

    def __init__(self, text: str):
        self.text, self.total, self.printed = text, 1, 1


class PlainOutput:
    """`out` gets what the operator reads; `file` every trace line whole."""

    def __init__(self, out: TextIO, file: Optional[TextIO] = None):
        self.out = out
        self.file = file
        self._lock = threading.Lock()  # guards the members below and orders the writes
        self._names = ThreadNames()
        self._recent: Deque[_Recent] = deque(maxlen=FOLD_WINDOW)

    def add(self, line: str) -> None:
        """A trace line (what the program printed)."""
        with self._lock:
            if self.file is not None:
                self.file.write(line + "\n")
                self.file.flush()
            short = short_form(line, self._names)
            seen = next((r for r in self._recent if r.text == short), None)
            if seen is not None:
                seen.total += 1
                if seen.total - seen.printed >= HOLD_AT:
                    self._write_locked(self._counts_locked())
                return
            lines = self._counts_locked()
            self._recent.append(_Recent(short))
            self._write_locked(lines + [short])

    def chat(self, who: str, text: str) -> None:
        """An entry of the conversation; the bot's time stamp left out, as on the display,
        and a message's buttons as a line of text under it."""
        text = with_buttons(text)
        if who != "operator":
            text = BOT_STAMP.sub("", text, count=1)
        with self._lock:
            self._write_locked(self._counts_locked() + entry_lines(who, text))

    def close(self) -> None:
        """Prints the counts still held back."""
        with self._lock:
            self._write_locked(self._counts_locked())

    def _counts_locked(self) -> List[str]:
        """The held-back counts as lines; each line counted moves to the newest place."""
        lines = []
        for recent in [r for r in self._recent if r.total > r.printed]:
            recent.printed = recent.total
            lines.append(f"{recent.text}  (x{recent.total})")
            self._recent.remove(recent)
            self._recent.append(recent)
        return lines

    def _write_locked(self, lines: List[str]) -> None:
        if lines:
            self.out.write("\n".join(lines) + "\n")  # one write: nothing lands inside it
            self.out.flush()

    @contextlib.contextmanager
    def redirect(self):
        """Standard output goes through `add` for the duration; standard error is left as
        it is."""
        writer, saved = LineWriter(self), sys.stdout
        sys.stdout = writer
        try:
            yield self
        finally:
            sys.stdout = saved
            writer.close()
            self.close()
