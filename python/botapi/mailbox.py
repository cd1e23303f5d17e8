"""One bot's side of the server: the updates waiting for it, the messages it sent, the
buttons pressed and its answers to them."""
import collections
import itertools
import re
import time

from .callbacks import CallbackQueries
from .flood import FloodGate
from .messages import KeptMessage
from .photos import DEFAULT_PHOTO_STORE, PhotoStore

# Telegram's limit for a message text, in UTF-16 code units.
MAX_MESSAGE_LENGTH = 4096

# How many sent messages, unconfirmed updates, editable messages and callback queries a
# mailbox keeps by default: a long session must not grow the server without bound.
DEFAULT_HISTORY = 10_000

# A command as Telegram marks it: "/" and up to 32 letters, digits or underscores, optionally
# addressed to a bot ("/orders@zandor_bot"). It starts the text or follows a character that
# cannot be part of a word or a path, and it ends at the first character that cannot be part
# of it, so "/balance." carries "/balance"; a longer name is no command at all.
_COMMAND = re.compile(r"(?<![A-Za-z0-9_/])/[A-Za-z0-9_]{1,32}(?![A-Za-z0-9_])"
                      r"(?:@[A-Za-z0-9_]{1,32}(?![A-Za-z0-9_]))?")


def message_length(text):
    """The length of `text` as Telegram counts it (UTF-16 code units)."""
    return len(text.encode("utf-16-le")) // 2


def command_entities(text):
    """The bot_command entities of `text`, offsets and lengths in UTF-16 code units."""
    return [{"type": "bot_command", "offset": message_length(text[:m.start()]),
             "length": message_length(m.group())} for m in _COMMAND.finditer(text)]


class Mailbox:
    """State of one bot (one token). Every access holds the server's condition."""

    def __init__(self, token, username, history=DEFAULT_HISTORY, photo_store=DEFAULT_PHOTO_STORE):
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
        self.history = history
        self.pending = collections.deque()  # update dicts not yet confirmed, oldest first
        self.sent = collections.deque()  # the newest `history` KeptMessages, in order sent
        self._sent_by_id = {}  # message id -> its KeptMessage, for edits and presses
        self.sent_count = 0  # every message ever sent, kept or not
        self.polls = 0  # getUpdates requests received
        self.poll_generation = 0  # bumped by each getUpdates: an older long poll gives way
        self.dropped = 0  # updates dropped unconfirmed (deleteWebhook, or too many pending)
        self.flood = FloodGate()  # this bot's sends as the flood limit counts them
        self.flood_refusals = 0  # requests answered 429
        self.blocked_chats = set()  # chats where sendMessage fails as if the bot were blocked
        self.revoked = False  # every request fails as with a revoked token
        self._next_update_id = 1
        self._next_message_id = 1
        self._messages = collections.OrderedDict()  # update id -> its message, for edits
        self.photos = PhotoStore(photo_store, history)
        self._photo_ids = itertools.count(1)
        self.queries = CallbackQueries(self.user["id"], history)
        self.edit_count = 0  # edits of sent messages, all told

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
        entities = command_entities(text)
        if entities:
            message["entities"] = entities
        return self._queue("message", message)

    def edit_message(self, update_id, text):
        """Queues the edit of the message that update `update_id` carried; returns the update."""
        try:
            original = self._messages[update_id]
        except KeyError:
            raise LookupError(f"no message of update {update_id} is kept") from None
        message = dict(original, text=text, edit_date=int(time.time()))
        message.pop("entities", None)
        entities = command_entities(text)
        if entities:
            message["entities"] = entities
        return self._queue("edited_message", message)

    def _queue(self, kind, message):
        update = {"update_id": self._next_update_id, kind: message}
        if kind in ("message", "edited_message"):
            self._messages[self._next_update_id] = message
            while len(self._messages) > self.history:
                self._messages.popitem(last=False)
        self._next_update_id += 1
        self.pending.append(update)
        while len(self.pending) > self.history:  # a bot that never polls
            self.pending.popleft()
            self.dropped += 1
        return update

    def confirm(self, offset):
        """getUpdates' offset: forget the updates before it (a negative one keeps the last -offset)."""
        if offset > 0:
            while self.pending and self.pending[0]["update_id"] < offset:
                self.pending.popleft()
        elif offset < 0:
            while len(self.pending) > -offset:
                self.pending.popleft()

    def drop_pending(self):
        self.dropped += len(self.pending)
        self.pending.clear()

    def record_sent(self, chat_id, text, keyboard=(), photo=None):
        """Keeps a message the bot sent; returns it as the API answers it."""
        self.sent_count += 1
        kept = KeptMessage(self._message_id(), chat_id, self.sent_count, text, keyboard, photo)
        self.sent.append(kept)
        self._sent_by_id[kept.message_id] = kept
        while len(self.sent) > self.history:
            del self._sent_by_id[self.sent.popleft().message_id]
        return kept.to_api(self.user)

    def new_photo_id(self):
        """(file_id, file_unique_id) for a photo uploaded now."""
        n = next(self._photo_ids)
        return f"photo-{self.user['id']}-{n}", f"u{self.user['id']}-{n}"

    def kept_photo(self, file_id):
        """The Photo of an earlier upload by its file_id, or None."""
        for kept in reversed(self.sent):
            if kept.photo is not None and kept.photo.file_id == file_id:
                return kept.photo
        return None

    def sent_message(self, message_id, chat_id=None):
        """The kept message the bot sent with this id (in chat `chat_id` when given);
        LookupError when there is none."""
        kept = self._sent_by_id.get(message_id)
        if kept is None or chat_id is not None and kept.chat_id != chat_id:
            raise LookupError(f"message {message_id} is not a kept message of the bot")
        return kept

    def edit_sent(self, kept, text, keyboard):
        """Edits a sent message (text None: only the keyboard); False when nothing changed."""
        if not kept.edit(text, keyboard):
            return False
        self.edit_count += 1
        return True

    def press(self, message_id, data, text, user_id, first_name):
        """Queues the press of a button of a sent message as a callback_query; returns the
        update."""
        kept = self.sent_message(message_id)
        button = kept.button(data, text)
        user_id = kept.chat_id if user_id is None else user_id
        query = {
            "id": self.queries.new_id(),
            "from": {"id": user_id, "is_bot": False, "first_name": first_name},
            "message": kept.to_api(self.user),
            # Telegram's tag of the chat the message is in, the same for every press there.
            "chat_instance": f"{self.user['id']}:{kept.chat_id}",
            "data": button.callback_data,
        }
        return self._queue("callback_query", query)

    def sent_after(self, after):
        """The kept messages numbered after `after`, in order."""
        new = min(len(self.sent), max(0, self.sent_count - after))
        # From the newest end: a reader that keeps up costs what is new, not the history.
        return [m.snapshot() for m in itertools.islice(reversed(self.sent), new)][::-1]

    def nth_sent(self, n):
        """The n-th message sent (from 1); LookupError when it is no longer kept."""
        first = self.sent_count - len(self.sent) + 1
        if not first <= n <= self.sent_count:
            raise LookupError(f"message {n} is not kept (messages {first} to "
                              f"{self.sent_count} are)")
        return self.sent[n - first].snapshot()
