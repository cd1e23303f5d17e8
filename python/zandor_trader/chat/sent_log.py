"""SentLog: the messages the bot sent to the operator's chat, and their edits, as the Bot API
confirmed them.

Taken at the client's request layer, so that the bot's own replies (from its handlers) and
the engine's answers are both seen, whichever Bot API the bot talks to. Every request's outcome
there also tells the chat link (`link.ok()`, `link.failed(error)`) whether the Bot API answers.
"""
import threading
from collections import deque
from dataclasses import dataclass
from typing import TYPE_CHECKING, Deque, List, Optional, Tuple

# What the log records of each method's answer: a new message, or a message edited.
RECORDED = {"/sendMessage": False, "/sendPhoto": False, "/editMessageText": True,
            "/editMessageReplyMarkup": True}
Buttons = Tuple[Tuple[str, ...], ...]  # the texts of an inline keyboard's buttons, by row

if TYPE_CHECKING:
    from telegram.utils.request import Request


@dataclass(frozen=True)
class Sent:
    text: str  # a photo's caption
    photo: Optional[str] = None  # a photo: the name of the file uploaded ("" when not known)
    message_id: Optional[int] = None
    buttons: Buttons = ()  # the inline keyboard it shows
    edited: bool = False  # an edit of the message `message_id`, which now shows this


def buttons_of(message: dict) -> Buttons:
    markup = message.get("reply_markup") or {}
    rows = markup.get("inline_keyboard") if isinstance(markup, dict) else None
    return tuple(tuple(str(b.get("text", "")) for b in row if isinstance(b, dict))
                 for row in rows or () if isinstance(row, list))


class SentLog:
    def __init__(self, chat_id: int, keep: int = 500):
        self.chat_id = chat_id
        self._lock = threading.Lock()
        self._messages: Deque[Sent] = deque(maxlen=keep)
        self._count = 0
        self._request: Optional[Request] = None

    def attach(self, bot, link=None) -> "SentLog":
        """Records what `bot` (a TelegramBot) sends from now on, until detach(); `link` (a
        ChatLink) is told how each request went."""
        request = bot.updater.bot.request
        post = request.post

        def recording_post(url, data=None, timeout=None):
            # Read before the call, which turns an upload into the form's fields.
            upload = data.get("photo") if isinstance(data, dict) else None
            try:
                result = post(url, data, timeout)
            except Exception as exc:
                if link is not None:
                    link.failed(exc)
                raise
            if link is not None:
                link.ok()
            method = "/" + str(url).rsplit("/", 1)[-1]
            if isinstance(result, dict) and method in RECORDED:
                photo = str(getattr(upload, "filename", None) or "") \
                    if method == "/sendPhoto" else None
                self._record(result, photo, edited=RECORDED[method])
            return result

        # Past the library's attribute guard: the wrapper only watches, it changes nothing.
        object.__setattr__(request, "post", recording_post)
        self._request = request
        return self

    def detach(self) -> None:
        if self._request is not None:
            self._request.__dict__.pop("post", None)
            self._request = None

    def _record(self, message: dict, photo: Optional[str] = None, edited: bool = False) -> None:
        chat = message.get("chat") or {}
        if chat.get("id") != self.chat_id:
            return
        if edited and "photo" in message:
            photo = ""
        text = message.get("caption" if photo is not None else "text", "")
        message_id = message.get("message_id")
        sent = Sent(str(text or ""), photo, message_id if isinstance(message_id, int) else None,
                    buttons_of(message), edited)
        with self._lock:
            self._messages.append(sent)
            self._count += 1

    def sent_after(self, seen: int) -> Tuple[List[Sent], int]:
        """The messages after the first `seen` (as far as kept), and how many in all."""
        with self._lock:
            fresh = max(min(self._count - seen, len(self._messages)), 0)
            return list(self._messages)[len(self._messages) - fresh:], self._count
