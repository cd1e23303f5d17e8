"""Buttons pressed in the operator's chat (callback queries), which the bot module ignores as it
ignores every update that is not a new message: taken by the session's own dispatcher callback,
in a group before the bot's, with the same check of the chat. A press from another chat is
refused with one printed line; the operator's becomes a request for the engine, in its turn
with the commands, and shows in the conversation ("[Confirm]"). Either way the update goes no
further: the bot's own check would print a second line for it.
"""
from typing import Callable, Optional

from telegram.ext import DispatcherHandlerStop

from zandor_trader.chat.buttons import read_data
from zandor_trader.trading.questions import LABELS, PRESS
from zandor_trader.trading.requests import Request


def label_of(query, data) -> str:
    """The text of the pressed button, as the message the press came from shows it."""
    markup = getattr(getattr(query, "message", None), "reply_markup", None)
    for row in getattr(markup, "inline_keyboard", None) or ():
        for button in row:
            if getattr(button, "callback_data", None) == data:
                return str(button.text)
    return LABELS.get(read_data(data)[1], "button")


class Presses:
    """`take(request)` hands the operator's presses on (the intake's way in: numbered, and
    answered as unserved once the session ends); `pressed(label)` records one in the
    conversation; `log` takes the line of a refused press."""

    def __init__(self, chat_id: int, take: Callable[[Request], None],
                 log: Callable[[str], None], pressed: Optional[Callable[[str], None]] = None):
        self.chat_id = chat_id
        self.take = take
        self.log = log
        self.pressed = pressed

    def on_update(self, update, context=None) -> None:
        """Dispatcher callback for every update; acts on button presses only."""
        query = getattr(update, "callback_query", None)
        if query is None:
            return
        chat_id = getattr(getattr(update, "effective_chat", None), "id", None)
        if chat_id is None or chat_id != self.chat_id:
            self.log(f"Refused a button press from chat {chat_id}: not the operator's chat")
            raise DispatcherHandlerStop
        data = getattr(query, "data", None)
        label = label_of(query, data)
        if self.pressed is not None:
            self.pressed(label)
        key, choice = read_data(data)
        self.take(Request(PRESS, {"key": key, "choice": choice, "query_id": str(query.id)},
                          text=f"[{label}] pressed"))
        raise DispatcherHandlerStop
