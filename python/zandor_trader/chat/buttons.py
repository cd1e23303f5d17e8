"""Questions in the operator's chat with Confirm and Cancel buttons (an inline keyboard): each
sent, edited once answered (what was chosen below the question, the buttons gone), and each
press answered, through the outbox in turn with the other replies. The question and its edit
go through the bot's pacer, under Telegram's flood limits like every message; the answer to a
press is no message and is not paced.

A question longer than one message goes as the pieces a reply is cut into, the buttons under
the last. A refused edit or answer (the message gone, the press too old) is one printed line:
retrying cannot mend it, and it must not hold up the replies behind it.
"""
from typing import Callable, Dict, Tuple

from telegram import InlineKeyboardButton, InlineKeyboardMarkup
from telegram.error import BadRequest

from zandor_trader.chat.pieces import MAX_MESSAGE_UNITS, split_message, units
from zandor_trader.trading.questions import CANCEL, CONFIRM, LABELS, Question

ANSWER_UNITS = 200  # Telegram's longest notice for a press
KEPT = 200  # questions whose message is remembered for its edit


def button_data(question: Question, choice: str) -> str:
    return f"{question.key}:{choice}"


def read_data(data) -> Tuple[str, str]:
    """(question key, choice) of a button's callback data."""
    key, _, choice = str(data or "").rpartition(":")
    return key, choice


def edited(text: str, note: str) -> str:
    """`text` with `note` on a line below it, its start cut when both do not fit a message."""
    room = MAX_MESSAGE_UNITS - sum(units(c) for c in note) - 2
    if sum(units(c) for c in text) > room:
        text = "…" + split_message(text, room - 1)[-1]
    return f"{text}\n{note}"


class ButtonOutlet:
    """Sends through `outbox` (its `put` with a send of its own) to `chat_id` with `bot` (a
    TelegramBot); `redact` blanks secrets out of texts; `log` takes the outlet's notices;
    `before_send()` runs before each message (the journal's commit)."""

    def __init__(self, outbox, bot, chat_id: int, redact: Callable[[str], str],
                 log: Callable[[str], None], before_send: Callable[[], object] = lambda: None):
        self.outbox = outbox
        self.bot = bot
        self.chat_id = chat_id
        self.redact = redact
        self.log = log
        self.before_send = before_send
        # Question key -> (its message's id, the text it shows); the outbox's thread only.
        self._shown: Dict[str, Tuple[int, str]] = {}

    def _client(self):
        return self.bot.updater.bot

    def _paced(self, send: Callable[[], object]):
        self.before_send()
        return self.bot.send_paced(send, self.chat_id)

    def ask(self, question: Question) -> None:
        *head, last = split_message(question.text)
        for piece in head:
            self.outbox.put(piece)
        markup = InlineKeyboardMarkup([[
            InlineKeyboardButton(LABELS[choice], callback_data=button_data(question, choice))
            for choice in (CONFIRM, CANCEL)]])

        def send():
            message = self._paced(lambda: self._client().send_message(
                self.chat_id, self.redact(last), reply_markup=markup))
            self._shown[question.key] = (message.message_id, last)
            while len(self._shown) > KEPT:
                self._shown.pop(next(iter(self._shown)))

        self.outbox.put(last, send=send)

    def settle(self, question: Question, note: str) -> None:
        def send():
            shown = self._shown.get(question.key)
            if shown is None:  # never shown with its buttons: nothing to edit
                return
            message_id, text = shown
            self._refusal_told(lambda: self._paced(lambda: self._client().edit_message_text(
                self.redact(edited(text, note)), chat_id=self.chat_id, message_id=message_id)),
                "Editing a question")

        self.outbox.put(edited(question.text, note), send=send)

    def answer(self, query_id: str, text: str) -> None:
        notice = text if len(text) <= ANSWER_UNITS else text[:ANSWER_UNITS - 1] + "…"
        self.outbox.put(f"(to a button pressed) {notice}", reply=False, send=lambda: (
            self._refusal_told(lambda: self._client().answer_callback_query(
                query_id, text=self.redact(notice)), "Answering a button pressed")))

    def _refusal_told(self, send: Callable[[], object], what: str) -> None:
        try:
            send()
        except BadRequest as exc:
            self.log(f"{what} refused: {exc}")
