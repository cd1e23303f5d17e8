"""ChatLog: the conversation between the operator and the bot, as the session shows it.

The operator's messages are taken from the updates the bot receives; the bot's messages
from a record of what it sent, pulled in (`sync`) after each dispatched update and after each
answer the engine sent, which are the only times it can grow. Only what is new is read.
"""
import threading
from collections import deque
from typing import Callable, Deque, List, Optional, Tuple

OPERATOR = "operator"
BOT = "bot"


class PhotoText(str):
    """A photo as the chat shows it: its caption's first line in brackets ("[chart EPZ5, 60
    bars]"), then the caption's other lines; `file` names the picture as it was uploaded."""

    file: Optional[str] = None


def chat_text(sent) -> str:
    """The text of a message the bot sent (an object with `text` and maybe `photo`)."""
    photo = getattr(sent, "photo", None)
    if photo is None:
        return sent.text
    head, *rest = (sent.text or "photo").split("\n")
    text = PhotoText("\n".join([f"[{head}]"] + rest))
    text.file = photo or None
    return text


class ChatLog:
    def __init__(self, sent_after: Callable[[int], Tuple[list, int]],
                 on_new: Optional[Callable[[str, str], None]] = None, keep: int = 200):
        """`sent_after(n)` returns the messages the bot sent after its first `n` (objects with
        `text`, in order) and how many it has sent in all; `on_new(who, text)` is told of each
        new entry, in order."""
        self._sent_after = sent_after
        self._on_new = on_new
        self._lock = threading.Lock()  # guards the members below and orders on_new calls
        self._entries: Deque[Tuple[str, str]] = deque(maxlen=keep)
        self._bot_seen = 0

    def operator_update(self, update, context=None) -> None:
        """Dispatcher callback: records the text of an operator's new message (an edit of an
        earlier one is no new command: the bot ignores it, and so does the conversation)."""
        message = getattr(update, "message", None)
        text = getattr(message, "text", None)
        if text:
            with self._lock:
                self._sync_locked()  # replies to earlier messages come first
                self._add_locked([(OPERATOR, text)])

    def restore(self, entries) -> None:
        """The conversation of an earlier session, (who, text) oldest first, before what this
        one adds; not told to `on_new` (it is not new)."""
        with self._lock:
            kept = list(self._entries)
            self._entries.clear()
            self._entries.extend(list(entries) + kept)

    def sync(self) -> None:
        with self._lock:
            self._sync_locked()

    def _sync_locked(self) -> None:
        fresh, self._bot_seen = self._sent_after(self._bot_seen)
        self._add_locked([(BOT, chat_text(m)) for m in fresh])

    def _add_locked(self, entries) -> None:
        for who, text in entries:
            self._entries.append((who, text))
            if self._on_new is not None:
                self._on_new(who, text)

    def entries(self, last: Optional[int] = None) -> List[Tuple[str, str]]:
        with self._lock:
            entries = list(self._entries)
        return entries if last is None else entries[-last:]
