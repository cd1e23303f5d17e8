"""What stays of the conversation once the live display gives the terminal back.

`Transcript` writes every chat entry to a file as it comes (so that all of it survives,
however long the session and whatever ends it); `closing_text` is what is printed on the
terminal at the end: the newest messages whole, the session's summary among them when the
engine sent one, and the file's name. Pictures the bot sent (charts) are saved beside the file
(`keep_picture`), and the file names them where they were sent.
"""
import datetime
import itertools
import os
import re
import threading
from typing import List, Optional, Sequence, TextIO, Tuple

from zandor_trader.chat.chat_log import with_buttons

UNSAFE_IN_NAMES = re.compile(r"[^\w.-]")


def entry_lines(who: str, text: str) -> List[str]:
    """An entry as lines of text, a message's buttons on a line under it."""
    head, *rest = with_buttons(text).split("\n")
    return [f"{who}> {head}"] + [" " * (len(who) + 2) + line for line in rest]


def default_path(now: Optional[datetime.datetime] = None) -> str:
    return f"zandor-trader-chat-{(now or datetime.datetime.now()):%Y%m%d-%H%M%S}.txt"


class Transcript:
    def __init__(self, path: str):
        self.path = path
        self.count = 0  # entries written
        self._lock = threading.Lock()  # guards the file and count
        self._file: Optional[TextIO] = None  # opened at the first entry, not before
        self.failed: Optional[str] = None  # why the file could not be written, if so
        self._pictures = itertools.count(1)

    def add(self, who: str, text: str) -> None:
        """An entry; a picture kept beside the file (see keep_picture) is named with it, and
        a message's buttons are a line of text under it."""
        picture = getattr(text, "file", None)
        if picture and os.path.exists(self._beside(picture)):
            head, sep, rest = text.partition("\n")
            text = f"{head} saved as {picture}{sep}{rest}"
        with self._lock:
            if self.failed is not None:
                return
            try:
                if self._file is None:
                    self._file = open(self.path, "a", encoding="utf-8")
                self._file.write("\n".join(entry_lines(who, text)) + "\n")
                self._file.flush()
                self.count += 1
            except OSError as exc:  # the chat goes on without its file
                self.failed = f"{type(exc).__name__}: {exc}"

    def keep_picture(self, data: bytes, what: str) -> str:
        """Saves a picture beside the file as <its name>-<n>-<what>.png; returns that name."""
        stem = os.path.splitext(os.path.basename(self.path))[0]
        what = UNSAFE_IN_NAMES.sub("_", what)
        with self._lock:
            name = f"{stem}-{next(self._pictures)}-{what}.png"
        with open(self._beside(name), "wb") as f:
            f.write(data)
        return name

    def _beside(self, name: str) -> str:
        return os.path.join(os.path.dirname(self.path), name)

    def close(self) -> None:
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None


def closing_text(entries: Sequence[Tuple[str, str]], height: int,
                 transcript: Optional[Transcript] = None) -> str:
    """The newest entries, whole, that fit `height` lines (the newest one always), under a
    line saying how many there were and where all of them are."""
    shown: List[str] = []
    taken = 0
    for who, text in reversed(entries):
        lines = entry_lines(who, text)
        if taken and len(shown) + len(lines) > height - 1:
            break
        shown[:0] = lines
        taken += 1
    total = transcript.count if transcript is not None and transcript.count else len(entries)
    if not total:
        return "No conversation with the bot."
    where = ""
    if transcript is not None and transcript.failed is not None:
        where = f"; the transcript could not be written ({transcript.failed})"
    elif transcript is not None and transcript.count:
        where = f"; all of it in {transcript.path}"
    which = f"{total} messages" if taken >= total else f"the last {taken} of {total} messages"
    return "\n".join([f"Conversation with the bot ({which}{where}):"] + shown)
