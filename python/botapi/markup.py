"""Inline keyboards: the `reply_markup` of a Bot API request read and checked as Telegram does,
and written back as Telegram returns it."""
import dataclasses
import json
from typing import Optional, Tuple

from .errors import ApiError

# Telegram's bounds: callback data of 1 to 64 bytes, at most 100 buttons in a keyboard.
MAX_CALLBACK_DATA = 64
MAX_BUTTONS = 100

_UNPARSABLE = "Bad Request: can't parse reply keyboard markup JSON object"
# Markups that a message does not keep: a custom keyboard of the user's own, or its removal.
_OTHER_MARKUPS = ("keyboard", "remove_keyboard", "force_reply")


@dataclasses.dataclass(frozen=True)
class Button:
    """A button of an inline keyboard: a press sends `callback_data` to the bot; a `url`
    button opens a link instead."""

    text: str
    callback_data: Optional[str] = None
    url: Optional[str] = None

    def to_json(self):
        return {k: v for k, v in dataclasses.asdict(self).items() if v is not None}


Keyboard = Tuple[Tuple[Button, ...], ...]


def parse_reply_markup(value) -> Keyboard:
    """The inline keyboard that `value` (a JSON text, as python-telegram-bot sends it, or an
    object of a JSON body) describes; () for none, also for the markups a message does not
    keep. Raises ApiError for a markup Telegram refuses."""
    if value is None:
        return ()
    if isinstance(value, str):
        try:
            value = json.loads(value)
        except (ValueError, RecursionError):
            raise ApiError(400, _UNPARSABLE) from None
    if not isinstance(value, dict):
        raise ApiError(400, _UNPARSABLE)
    if "inline_keyboard" not in value:
        if any(key in value for key in _OTHER_MARKUPS):
            return ()
        raise ApiError(400, _UNPARSABLE)
    rows = value["inline_keyboard"]
    if not isinstance(rows, list) or not all(isinstance(row, list) for row in rows):
        raise ApiError(400, "Bad Request: inline keyboard must be an array of arrays of buttons")
    if sum(len(row) for row in rows) > MAX_BUTTONS:
        raise ApiError(400, "Bad Request: reply markup is too long")
    keyboard = tuple(tuple(_button(b) for b in row) for row in rows if row)
    return keyboard


def _button(value):
    if not isinstance(value, dict):
        raise ApiError(400, "Bad Request: an inline keyboard button must be an object")
    text = value.get("text")
    if not isinstance(text, str) or not text.strip():
        raise ApiError(400, "Bad Request: inline keyboard button text must be non-empty")
    data, url = value.get("callback_data"), value.get("url")
    actions = set(value) - {"text"}
    if actions == {"callback_data"}:
        if not isinstance(data, str) or not 1 <= len(data.encode("utf-8")) <= MAX_CALLBACK_DATA:
            raise ApiError(400, "Bad Request: BUTTON_DATA_INVALID")
        return Button(text, callback_data=data)
    if actions == {"url"}:
        if not isinstance(url, str) or not url:
            raise ApiError(400, "Bad Request: BUTTON_URL_INVALID")
        return Button(text, url=url)
    if not actions:
        raise ApiError(400, "Bad Request: text buttons are unallowed in the inline keyboard")
    raise ApiError(400, "Bad Request: only callback_data and url buttons are supported here")


def keyboard_json(keyboard: Keyboard):
    """The reply_markup of a Message as Telegram returns it; None without a keyboard."""
    if not keyboard:
        return None
    return {"inline_keyboard": [[b.to_json() for b in row] for row in keyboard]}


def keyboard_from_json(value) -> Keyboard:
    """The inverse of keyboard_json, for a reader on the other side of the control interface."""
    if not value:
        return ()
    return tuple(tuple(Button(**b) for b in row) for row in value["inline_keyboard"])
