"""The local Bot API server: the Bot API methods the bot uses, and the control interface."""
import re
import threading
import time

from .flood import FloodGate, FloodLimit
from .mailbox import DEFAULT_HISTORY, MAX_MESSAGE_LENGTH, Mailbox, message_length
from .transport import (ApiError, Handler, HttpServer, bool_param, float_param, int_param,
                        text_param)

_TOKEN = re.compile(r"\d+:[A-Za-z0-9_-]+")

# Bots (tokens) one server keeps a mailbox for; a request naming one more is refused.
MAX_BOTS = 1000
# A stop answers what is in flight, then cuts and joins: within these bounds, in seconds.
_STOP_GRACE = 0.3
_STOP_TIMEOUT = 0.8
# Longest wait a control call may ask for, in seconds.
_MAX_CONTROL_WAIT = 600.0

_CONFLICT = ("Conflict: terminated by other getUpdates request; make sure that only one bot "
             "instance is running")


class BotApiServer:
    """A threaded Bot API server on loopback with one mailbox per bot token.

    `token` is the default token of the in-process control methods (over HTTP every control
    call names its token); `username` is every bot's user name (what getMe answers and what
    "/cmd@name" must name); a long poll waits at most `max_poll_timeout` seconds whatever the
    client asks, so that a client stops quickly; each mailbox keeps the newest `history` sent
    messages and unconfirmed updates; `flood` (a FloodLimit) answers sends over it with 429
    as Telegram does.
    """

    def __init__(self, token=None, *, username="zandor_trader_bot", host="127.0.0.1", port=0,
                 max_poll_timeout=1.0, history=DEFAULT_HISTORY, flood=None):
        self.token = token
        self.username = username
        self.max_poll_timeout = max_poll_timeout
        self.history = history
        self._address = (host, port)
        self._changed = threading.Condition()  # guards every mailbox and what follows
        self._mailboxes = {}
        self._flood = flood
        self._send_delay = 0.0
        self._stopping = False
        self._httpd = None
        self._thread = None

    # Life cycle.

    def start(self):
        class BoundHandler(Handler):
            dispatch = self._dispatch

        self._httpd = HttpServer(self._address, BoundHandler)
        # Started again after stop(), the server comes back at the same address with the
        # same mailboxes, as Telegram does after an outage.
        self._address = self._httpd.server_address[:2]
        with self._changed:
            self._stopping = False
        # The accept loop looks for a stop request this often; stop() waits for it.
        self._thread = threading.Thread(target=self._httpd.accept_loop, args=(0.05,),
                                        name="botapi-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Answers every long poll and control wait at once, cuts the connections of clients
        that send nothing, and joins every thread: done within a second whatever the clients
        do. The mailboxes stay for a later start()."""
        if self._httpd is None:
            return
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
        self._httpd.stop_accepting()
        self._thread.join(_STOP_TIMEOUT)
        self._httpd.server_close()
        left = self._httpd.close_connections(_STOP_GRACE, _STOP_TIMEOUT)
        if self._thread.is_alive():
            left.append(self._thread)
        self._httpd = None
        if left:
            raise RuntimeError(f"{len(left)} server thread(s) did not end: {left}")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def url(self):
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def base_url(self):
        """What the client takes as base_url: requests go to base_url + token + "/" + method."""
        return self.url + "/bot"

    @property
    def control_url(self):
        return self.url + "/control"

    # Behaviour of the API, changeable while running.

    def set_flood_limit(self, limit):
        """From now on sends over `limit` (a FloodLimit) are answered 429; None: no limit.
        Counting starts afresh."""
        if limit is not None and not isinstance(limit, FloodLimit):
            raise TypeError("limit must be a FloodLimit or None")
        with self._changed:
            self._flood = limit
            for box in self._mailboxes.values():
                box.flood = FloodGate()

    def set_send_delay(self, seconds):
        """From now on every sendMessage is answered `seconds` later (a slow Telegram)."""
        with self._changed:
            self._send_delay = max(0.0, float(seconds))

    # Control interface: the operator's side.

    def _mailbox(self, token):
        token = token or self.token
        if token is None:
            raise ValueError("no token given and no default token")
        box = self._mailboxes.get(token)
        if box is None:
            if len(self._mailboxes) >= MAX_BOTS:
                raise ApiError(401, "Unauthorized: too many bots on this server")
            box = self._mailboxes[token] = Mailbox(token, self.username, self.history)
        return box

    def post_message(self, text, chat_id, *, token=None, user_id=None, first_name="Operator",
                     chat_type="private"):
        """Queues a message from a user (by default the private chat's own user); commands in
        it carry their bot_command entities. Returns the update id."""
        with self._changed:
            update = self._mailbox(token).add_message(
                text, chat_id, chat_id if user_id is None else user_id, first_name, chat_type)
            self._changed.notify_all()
        return update["update_id"]

    def edit_message(self, update_id, text, *, token=None):
        """Queues an edit of the message posted as update `update_id`, as Telegram reports a
        user editing a sent message. Returns the new update's id."""
        with self._changed:
            update = self._mailbox(token).edit_message(update_id, text)
            self._changed.notify_all()
        return update["update_id"]

    def sent(self, *, token=None, after=0):
        """The messages the bot sent, in order: every one still kept (the newest `history`),
        or with `after` only those numbered (`seq`) after it."""
        with self._changed:
            return self._mailbox(token).sent_after(after)

    def sent_count(self, *, token=None):
        """How many messages the bot sent in all (the `seq` of the last one)."""
        with self._changed:
            return self._mailbox(token).sent_count

    def pending(self, *, token=None):
        """The updates not yet confirmed by the bot."""
        with self._changed:
            return list(self._mailbox(token).pending)

    def polls(self, *, token=None):
        """How many getUpdates requests the bot made."""
        with self._changed:
            return self._mailbox(token).polls

    def dropped(self, *, token=None):
        """How many updates were dropped unconfirmed: by deleteWebhook(drop_pending_updates=
        True), or the oldest when more than `history` waited."""
        with self._changed:
            return self._mailbox(token).dropped

    def flood_refusals(self, *, token=None):
        """How many sends were answered 429."""
        with self._changed:
            return self._mailbox(token).flood_refusals

    def block_chat(self, chat_id, *, token=None):
        """From now on sending to `chat_id` fails (403, as when a user blocked the bot)."""
        with self._changed:
            self._mailbox(token).blocked_chats.add(chat_id)

    def revoke(self, *, token=None):
        """From now on every request with this token fails (401)."""
        with self._changed:
            self._mailbox(token).revoked = True

    def wait_for(self, predicate, timeout=10.0):
        """Waits until predicate() is true (it runs under the server's lock, called again at
        every change); returns its last value, false when the time ran out."""
        with self._changed:
            return self._changed.wait_for(predicate, timeout)

    def wait_sent(self, n, *, token=None, timeout=10.0):
        """The n-th message (from 1) the bot sent, waiting for it at most `timeout` seconds."""
        return self._wait_sent(n, token, timeout, stop_aware=False)

    def wait_polling(self, polls=1, *, token=None, timeout=10.0):
        """Waits until the bot made `polls` getUpdates requests (the first one comes after
        start-up has dropped or kept the pending updates)."""
        self._wait_polling(polls, token, timeout, stop_aware=False)

    def _wait(self, predicate, timeout, stop_aware):
        """wait_for; a wait on a request thread (`stop_aware`) also ends when the server stops."""
        with self._changed:
            if not stop_aware:
                return self._changed.wait_for(predicate, timeout)
            done = self._changed.wait_for(lambda: predicate() or self._stopping, timeout)
            if self._stopping and not predicate():
                raise ApiError(503, "Service Unavailable: the server is stopping")
            return done

    def _wait_sent(self, n, token, timeout, stop_aware):
        with self._changed:
            box = self._mailbox(token)
        if not self._wait(lambda: box.sent_count >= n, timeout, stop_aware):
            with self._changed:
                raise TimeoutError(f"{box.sent_count} message(s) sent, waited for {n}; the "
                                   f"last: {list(box.sent)[-3:]!r}")
        with self._changed:
            return box.nth_sent(n)

    def _wait_polling(self, polls, token, timeout, stop_aware):
        with self._changed:
            box = self._mailbox(token)
        if not self._wait(lambda: box.polls >= polls, timeout, stop_aware):
            raise TimeoutError(f"{box.polls} getUpdates request(s), waited for {polls}")

    # Requests, on the request threads.

    def _dispatch(self, path, params):
        if path.startswith("/bot"):
            token, _, method = path[len("/bot"):].partition("/")
            return self.call(token, method, params)
        if path.startswith("/control/"):
            return self.control(path[len("/control/"):], params)
        raise ApiError(404, "Not Found")

    # Bot API methods. Each runs on a request thread and returns the result.

    def call(self, token, method, params):
        if not _TOKEN.fullmatch(token):
            raise ApiError(404, "Not Found")
        handler = _METHODS.get(method.lower())
        if handler is None:
            raise ApiError(404, "Not Found")
        try:
            with self._changed:
                if self._mailbox(token).revoked:
                    raise ApiError(401, "Unauthorized")
            return handler(self, token, params)
        finally:
            with self._changed:  # a waiter may be watching for any request's effect
                self._changed.notify_all()

    def _get_me(self, token, params):
        with self._changed:
            return dict(self._mailbox(token).user)

    def _delete_webhook(self, token, params):
        with self._changed:
            if bool_param(params, "drop_pending_updates"):
                self._mailbox(token).drop_pending()
        return True

    def _get_updates(self, token, params):
        offset = int_param(params, "offset", 0)
        limit = min(max(int_param(params, "limit", 100), 1), 100)
        timeout = min(max(float_param(params, "timeout", 0.0), 0.0), self.max_poll_timeout)
        deadline = time.monotonic() + timeout
        with self._changed:
            box = self._mailbox(token)
            box.polls += 1
            box.poll_generation += 1
            mine = box.poll_generation
            box.confirm(offset)
            self._changed.notify_all()
            while not box.pending and not self._stopping and box.poll_generation == mine:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            if box.poll_generation != mine:  # a newer getUpdates took over, as Telegram answers
                raise ApiError(409, _CONFLICT)
            return [box.pending[i] for i in range(min(limit, len(box.pending)))]

    def _send_message(self, token, params):
        try:
            chat_id = int_param(params, "chat_id")
        except ApiError:
            raise ApiError(400, "Bad Request: chat not found") from None
        text = params.get("text")
        if not text or not isinstance(text, str):
            raise ApiError(400, "Bad Request: message text is empty")
        if message_length(text) > MAX_MESSAGE_LENGTH:
            raise ApiError(400, "Bad Request: message is too long")
        with self._changed:
            box = self._mailbox(token)
            if self._send_delay > 0:
                end = time.monotonic() + self._send_delay
                while not self._stopping and time.monotonic() < end:
                    self._changed.wait(end - time.monotonic())
                if self._stopping:
                    raise ApiError(503, "Service Unavailable: the server is stopping")
            if chat_id in box.blocked_chats:
                raise ApiError(403, "Forbidden: bot was blocked by the user")
            if self._flood is not None:
                retry_after = box.flood.admit(self._flood, chat_id, time.monotonic())
                if retry_after is not None:
                    box.flood_refusals += 1
                    raise ApiError(429, f"Too Many Requests: retry after {retry_after:g}",
                                   {"retry_after": retry_after})
            return box.record_sent(chat_id, text)

    # Control over HTTP, for a test driving the server from another process. Every call names
    # its bot's token: knowing the port is not enough to play the operator.

    def control(self, action, params):
        token = params.get("token")
        if not isinstance(token, str) or not _TOKEN.fullmatch(token):
            raise ApiError(401, "Unauthorized: the bot's token is required")
        handler = _CONTROL.get(action)
        if handler is None:
            raise ApiError(404, "Not Found")
        try:
            return handler(self, token, params)
        except LookupError as exc:
            raise ApiError(400, f"Bad Request: {exc}") from None
        except TimeoutError as exc:
            raise ApiError(504, str(exc)) from None

    def _control_message(self, token, params):
        text = text_param(params, "text")
        chat_id = int_param(params, "chat_id")
        first_name = params.get("first_name") or "Operator"
        if not isinstance(first_name, str):
            raise ApiError(400, "Bad Request: parameter first_name must be a string")
        update_id = self.post_message(text, chat_id, token=token,
                                      user_id=int_param(params, "user_id", 0) or None,
                                      first_name=first_name)
        return {"update_id": update_id}

    def _control_edit(self, token, params):
        update_id = int_param(params, "update_id")
        return {"update_id": self.edit_message(update_id, text_param(params, "text"),
                                               token=token)}

    def _control_sent(self, token, params):
        return [vars(m) for m in self.sent(token=token, after=int_param(params, "after", 0))]

    def _control_sent_count(self, token, params):
        return self.sent_count(token=token)

    def _control_wait_sent(self, token, params):
        return vars(self._wait_sent(int_param(params, "n"), token, _wait_time(params), True))

    def _control_wait_polling(self, token, params):
        self._wait_polling(int_param(params, "polls", 1), token, _wait_time(params), True)
        return True


def _wait_time(params):
    return min(max(float_param(params, "timeout", 10.0), 0.0), _MAX_CONTROL_WAIT)


_METHODS = {
    "getme": BotApiServer._get_me,
    "deletewebhook": BotApiServer._delete_webhook,
    "getupdates": BotApiServer._get_updates,
    "sendmessage": BotApiServer._send_message,
}

_CONTROL = {
    "message": BotApiServer._control_message,
    "edit": BotApiServer._control_edit,
    "sent": BotApiServer._control_sent,
    "sent_count": BotApiServer._control_sent_count,
    "wait_sent": BotApiServer._control_wait_sent,
    "wait_polling": BotApiServer._control_wait_polling,
}
