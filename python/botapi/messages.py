"""The messages a bot sent, as the server keeps them (text or photo, keyboard, edits) and as
readers see them (`SentMessage`)."""
import collections
import dataclasses
import time
from typing import Optional, Tuple

from .markup import Button, Keyboard, keyboard_from_json, keyboard_json
from .photos import Photo

# Earlier versions kept per message: a bot that edits one message for ever stays bounded.
MAX_EDITS_KEPT = 100


@dataclasses.dataclass(frozen=True)
class Version:
    """What a message showed before one of its edits."""

    text: str
    keyboard: Keyboard = ()


@dataclasses.dataclass(frozen=True)
class SentMessage:
    """A message the bot sent, as it stands now. `seq` numbers the bot's messages from 1 in the
    order sent (a reader passes the last one it saw as `after` to take only what is new).
    `text` is the current text (a photo's caption, "" without one), `keyboard` the inline
    keyboard it shows (rows of Buttons), `edits` what it showed before each edit, oldest
    first (the newest 100), and `photo` describes a photo (its bytes: the server's photo())."""

    message_id: int
    chat_id: int
    text: str
    seq: int = dataclasses.field(default=0, compare=False)
    keyboard: Keyboard = ()
    edits: Tuple[Version, ...] = ()
    photo: Optional[Photo] = None

    @property
    def buttons(self):
        """The keyboard's button texts, row by row."""
        return [[b.text for b in row] for row in self.keyboard]

    def to_json(self):
        return {"message_id": self.message_id, "chat_id": self.chat_id, "text": self.text,
                "seq": self.seq, "reply_markup": keyboard_json(self.keyboard),
                "edits": [{"text": v.text, "reply_markup": keyboard_json(v.keyboard)}
                          for v in self.edits],
                "photo": self.photo.to_json() if self.photo else None}

    @classmethod
    def from_json(cls, value):
        return cls(value["message_id"], value["chat_id"], value["text"], value["seq"],
                   keyboard_from_json(value.get("reply_markup")),
                   tuple(Version(v["text"], keyboard_from_json(v["reply_markup"]))
                         for v in value.get("edits", ())),
                   Photo(**value["photo"]) if value.get("photo") else None)


class KeptMessage:
    """A sent message in a mailbox; changed by edits. Every access holds the server's lock."""

    __slots__ = ("message_id", "chat_id", "seq", "date", "text", "keyboard", "photo",
                 "edits", "edit_date")

    def __init__(self, message_id, chat_id, seq, text, keyboard=(), photo=None):
        self.message_id = message_id
        self.chat_id = chat_id
        self.seq = seq
        self.date = int(time.time())
        self.text = text
        self.keyboard = keyboard
        self.photo = photo
        self.edits = collections.deque(maxlen=MAX_EDITS_KEPT)
        self.edit_date = None

    def edit(self, text, keyboard):
        """Shows `text` (None: the text stays) and `keyboard` from now on; False when that is
        what it shows already."""
        text = self.text if text is None else text
        if (text, keyboard) == (self.text, self.keyboard):
            return False
        self.edits.append(Version(self.text, self.keyboard))
        self.text, self.keyboard = text, keyboard
        self.edit_date = int(time.time())
        return True

    def button(self, data=None, text=None):
        """The first button with this callback data, or else this text; LookupError if none."""
        for button in (b for row in self.keyboard for b in row):
            if (data is not None and button.callback_data == data
                    or data is None and button.text == text):
                if button.callback_data is None:
                    raise LookupError(f"button {button.text!r} of message {self.message_id} "
                                      f"opens a link: it sends nothing to the bot")
                return button
        what = f"callback data {data!r}" if data is not None else f"text {text!r}"
        shown = "; it shows " + ", ".join(repr(b.text) for r in self.keyboard for b in r) \
            if self.keyboard else "; it has no inline keyboard"
        raise LookupError(f"message {self.message_id} has no button with {what}{shown}")

    def snapshot(self):
        return SentMessage(self.message_id, self.chat_id, self.text, self.seq, self.keyboard,
                           tuple(self.edits), self.photo)

    def to_api(self, bot_user):
        """The Message as the Bot API returns it."""
        message = {"message_id": self.message_id, "from": bot_user,
                   "chat": {"id": self.chat_id, "type": "private"}, "date": self.date}
        if self.photo is not None:
            message["photo"] = [self.photo.to_json()]
            if self.text:
                message["caption"] = self.text
        else:
            message["text"] = self.text
        if self.edit_date is not None:
            message["edit_date"] = self.edit_date
        markup = keyboard_json(self.keyboard)
        if markup is not None:
            message["reply_markup"] = markup
        return message


__all__ = ["Button", "KeptMessage", "SentMessage", "Version"]
