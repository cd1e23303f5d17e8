"""ChatLog: the conversation between the operator and the bot, as the session shows it.

The operator's messages are taken from the updates the bot receives (and the buttons pressed);
the bot's messages and their edits from a record of what it sent, pulled in (`sync`) after
each dispatched update and after each answer the engine sent, which are the only times it can
grow. Only what is new is read. An edit changes the message where it stands (a question's
buttons go once it is answered) and is told to `on_new` as a line of its own, "(edited) ...".
"""
import threading
from collections import deque
from typing import Callable, Deque, List, Optional, Tuple

OPERATOR = "operator"
BOT = "bot"
EDITED = "(edited) "
Buttons = Tuple[Tuple[str, ...], ...]


class BotText(str):
    """A message of the bot as the chat shows it; `message_id` names it to the Bot API and
    `buttons` are the texts of its inline keyboard, by row."""

    message_id: Optional[int] = None
    buttons: Buttons = ()


class PhotoText(BotText):
    """A photo as the chat shows it: its caption's first line in brackets ("[chart EPZ5, 60
    bars]"), then the caption's other lines; `file` names the picture as it was uploaded."""

    file: Optional[str] = None


def button_line(buttons: Buttons) -> str:
    """Buttons as text: "[ Confirm ] [ Cancel ]"."""
    return " ".join(f"[ {label} ]" for row in buttons for label in row)


def with_buttons(text: str) -> str:
    """A message with its buttons as a line of text under it (plain output, files)."""
    buttons = getattr(text, "buttons", ())
    return f"{text}\n{button_line(buttons)}" if buttons else str(text)


def chat_text(sent) -> BotText:
    """The text of a message the bot sent (an object with `text` and maybe `photo`,
    `message_id` and `buttons`)."""
    photo = getattr(sent, "photo", None)
    if photo is None:
        text = BotText(sent.text)
    else:
        head, *rest = (sent.text or "photo").split("\n")
        text = PhotoText("\n".join([f"[{head}]"] + rest))
        text.file = photo or None
    text.message_id = getattr(sent, "message_id", None)
    text.buttons = tuple(getattr(sent, "buttons", ()) or ())
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

    def operator_pressed(self, label: str) -> None:
        """The operator pressed a button labelled `label`: "[Confirm]" in the conversation."""
        with self._lock:
            self._sync_locked()
            self._add_locked([(OPERATOR, f"[{label}]")])

    def sync(self) -> None:
        with self._lock:
            self._sync_locked()

    def _sync_locked(self) -> None:
        fresh, self._bot_seen = self._sent_after(self._bot_seen)
        for sent in fresh:
            text = chat_text(sent)
            if getattr(sent, "edited", False):
                self._edit_locked(text)
            else:
                self._add_locked([(BOT, text)])

    def _edit_locked(self, text: BotText) -> None:
        for n in range(len(self._entries) - 1, -1, -1):
            who, shown = self._entries[n]
            if who == BOT and getattr(shown, "message_id", None) == text.message_id:
                self._entries[n] = (BOT, text)
                break
        if self._on_new is not None:
            edited = BotText(EDITED + text)
            edited.buttons = text.buttons
            self._on_new(BOT, edited)

    def pressable(self) -> Optional[Tuple[int, Buttons]]:
        """(message id, buttons) of the newest message that shows buttons, or None."""
        with self._lock:
            for who, text in reversed(self._entries):
                buttons = getattr(text, "buttons", ())
                message_id = getattr(text, "message_id", None)
                if who == BOT and buttons and message_id is not None:
                    return message_id, buttons
        return None

    def _add_locked(self, entries) -> None:
        for who, text in entries:
            self._entries.append((who, text))
            if self._on_new is not None:
                self._on_new(who, text)

    def entries(self, last: Optional[int] = None) -> List[Tuple[str, str]]:
        with self._lock:
            entries = list(self._entries)
        return entries if last is None else entries[-last:]
