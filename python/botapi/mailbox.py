"""One bot's side of the server: the updates waiting for it and the messages it sent."""
import dataclasses
import re
import time

# Telegram's limit for a message text, in UTF-16 code units.
MAX_MESSAGE_LENGTH = 4096

# A command as Telegram marks it: "/" and up to 32 letters, digits or underscores, optionally
# addressed to a bot ("/orders@zandor_bot"), at the start and followed by white space or the end.
_COMMAND = re.compile(r"/[A-Za-z0-9_]{1,32}(?:@[A-Za-z0-9_]+)?(?=\s|$)")


def message_length(text):
    """The length of `text` as Telegram counts it (UTF-16 code units)."""
    return len(text.encode("utf-16-le")) // 2


@dataclasses.dataclass(frozen=True)
class SentMessage:
    """A message the bot sent."""

    message_id: int
    chat_id: int
    text: str


class Mailbox:
    """State of one bot (one token). Every access holds the server's condition."""

    def __init__(self, token, username):
        self.token = token
        self.user = {
            "id": int(token.split(":", 1)[0]),
            "is_bot": True,
            "first_name": "Zandor Trader",
            "username": username,
            "can_join_groups": True,
            "can_read_all_group_messages": False,
            "supports_inline_queries": False,
        }
        self.pending = []  # update dicts not yet confirmed by an offset, oldest first
        self.sent = []  # SentMessage, in the order sent
        self.polls = 0  # getUpdates requests received
        self.dropped = 0  # updates dropped by deleteWebhook(drop_pending_updates=True)
        self.blocked_chats = set()  # chats where sendMessage fails as if the bot were blocked
        self.revoked = False  # every request fails as with a revoked token
        self._next_update_id = 1
        self._next_message_id = 1
        self._messages = {}  # update id -> the message it carried, for edits

    def _message_id(self):
        self._next_message_id += 1
        return self._next_message_id - 1

    def add_message(self, text, chat_id, user_id, first_name, chat_type):
        """Queues an operator's message; returns the update."""
        message = {
            "message_id": self._message_id(),
            "date": int(time.time()),
            "chat": {"id": chat_id, "type": chat_type},
            "from": {"id": user_id, "is_bot": False, "first_name": first_name},
            "text": text,
        }
        if chat_type == "private":
            message["chat"]["first_name"] = first_name
        command = _COMMAND.match(text)
        if command:
            message["entities"] = [
                {"type": "bot_command", "offset": 0, "length": message_length(command.group())}
            ]
        return self._queue("message", message)

    def edit_message(self, update_id, text):
        """Queues the edit of the message that update `update_id` carried; returns the update."""
        message = dict(self._messages[update_id], text=text, edit_date=int(time.time()))
        message.pop("entities", None)
        command = _COMMAND.match(text)
        if command:
            message["entities"] = [
                {"type": "bot_command", "offset": 0, "length": message_length(command.group())}
            ]
        return self._queue("edited_message", message)

    def _queue(self, kind, message):
        update = {"update_id": self._next_update_id, kind: message}
        self._messages[self._next_update_id] = message
        self._next_update_id += 1
        self.pending.append(update)
        return update

    def confirm(self, offset):
        """getUpdates' offset: forget the updates before it (a negative one keeps the last -offset)."""
        if offset > 0:
            self.pending = [u for u in self.pending if u["update_id"] >= offset]
        elif offset < 0:
            self.pending = self.pending[offset:]

    def drop_pending(self):
        self.dropped += len(self.pending)
        self.pending = []

    def record_sent(self, chat_id, text):
        """Keeps a message the bot sent; returns it as the API answers it."""
        sent = SentMessage(self._message_id(), chat_id, text)
        self.sent.append(sent)
        return {
            "message_id": sent.message_id,
            "from": self.user,
            "chat": {"id": chat_id, "type": "private"},
            "date": int(time.time()),
            "text": text,
        }
