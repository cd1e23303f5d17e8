"""The local Bot API server: its life cycle, the operator's side in the same process, and the
routing of requests to the Bot API methods and the control interface."""
import threading

from . import control as control_http
from .errors import ApiError
from .flood import FloodGate, FloodLimit
from .mailbox import DEFAULT_HISTORY, Mailbox
from .methods import METHODS
from .photos import DEFAULT_PHOTO_STORE
from .tokens import BOT_TOKEN, TokenFile, random_bot_token, random_control_token
from .transport import MAX_CONNECTIONS, Handler, HttpServer

# Bots (tokens) one server keeps a mailbox for; a request naming one more is refused.
MAX_BOTS = 1000
# A stop answers what is in flight, then cuts and joins: within these bounds, in seconds.
_STOP_GRACE = 0.3
_STOP_TIMEOUT = 0.8


class BotApiServer:
    """A threaded Bot API server on loopback with one mailbox per bot token.

    `token` is the server's own bot (random when not given: `random_bot_token()`), the one
    the in-process control methods and the control interface act on unless told otherwise;
    `username` is every bot's user name (what getMe answers and what "/cmd@name" must name);
    a long poll waits at most `max_poll_timeout` seconds whatever the client asks, so that a
    client stops quickly; each mailbox keeps the newest `history` sent messages, unconfirmed
    updates and callback queries, and the newest photos within `photo_store` bytes; `flood` (a
    FloodLimit) answers sends over it with 429 as Telegram does; at most `max_connections`
    requests are served at once, a connection beyond is answered 503.

    The control interface (`control_url`) is served when `control` is True: every request
    there must carry `control_token` (random when not given), anything else is answered 401;
    with `control` False nothing is served there (404). `control` None, the default, is the
    behaviour of callers written before the control token: served, and a bot's own token is
    taken as the credential too (it acts on that bot).
    """

    def __init__(self, token=None, *, username="zandor_trader_bot", host="127.0.0.1", port=0,
                 max_poll_timeout=1.0, history=DEFAULT_HISTORY, flood=None, control=None,
                 control_token=None, max_connections=MAX_CONNECTIONS,
                 photo_store=DEFAULT_PHOTO_STORE):
        self.token = random_bot_token() if token is None else token
        if not isinstance(self.token, str) or not BOT_TOKEN.fullmatch(self.token):
            raise ValueError("token must be a bot token: digits, ':' and letters, digits, "
                             "'_' or '-'")
        if control not in (None, True, False):
            raise ValueError("control must be True, False or None")
        self.control_mode = control
        self.control_token = random_control_token() if control_token is None else control_token
        if not isinstance(self.control_token, str) or len(self.control_token) < 16:
            raise ValueError("the control token must be a string of 16 characters at least")
        if self.control_token == self.token:
            raise ValueError("the control token must not be the bot's token")
        if not (isinstance(max_connections, int) and max_connections >= 1):
            raise ValueError("max_connections must be a whole number of at least 1")
        self.username = username
        self.max_poll_timeout = max_poll_timeout
        self.history = history
        self.photo_store = photo_store
        self.max_connections = max_connections
        self._address = (host, port)
        self.lock = threading.Condition()  # guards every mailbox and what follows
        self._mailboxes = {}
        self.flood = flood
        self.send_delay = 0.0
        self.stopping = False
        self._httpd = None
        self._thread = None
        self._token_file = None
        self._refused_before = 0  # connections refused in earlier runs

    # Life cycle.

    def start(self):
        class BoundHandler(Handler):
            dispatch = self._dispatch

        self._httpd = HttpServer(self._address, BoundHandler, self.max_connections)
        # Started again after stop(), the server comes back at the same address with the
        # same mailboxes, as Telegram does after an outage.
        self._address = self._httpd.server_address[:2]
        with self.lock:
            self.stopping = False
        self._thread = threading.Thread(target=self._httpd.accept_loop,
                                        name=f"botapi-server:{self._address[1]}", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Answers every long poll and control wait at once, cuts the connections of clients
        that send nothing, joins every thread and removes the control token's file: done
        within a second whatever the clients do. The mailboxes stay for a later start()."""
        if self._token_file is not None:
            self._token_file.remove()
            self._token_file = None
        if self._httpd is None:
            return
        with self.lock:
            self.stopping = True
            self.lock.notify_all()
        self._httpd.stop_accepting()
        self._thread.join(_STOP_TIMEOUT)
        self._httpd.server_close()
        left = self._httpd.close_connections(_STOP_GRACE, _STOP_TIMEOUT)
        if self._thread.is_alive():
            left.append(self._thread)
        self._refused_before += self._httpd.refused
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
        """Where the control interface is served; None when it is not (`control` False)."""
        return None if self.control_mode is False else self.url + "/control"

    def write_control_token(self, directory=None):
        """Writes the control token to a file only the user can read (created with mode 0600)
        in `directory`, or in a private temporary directory; returns its path. stop() removes
        it. Another process reads it with RemoteServer.from_token_file."""
        if self.control_mode is False:
            raise ValueError("the control interface is off: there is no control token to give")
        if self._token_file is None:
            self._token_file = TokenFile(self.control_token, directory)
        return self._token_file.path

    # Behaviour of the API, changeable while running.

    def set_flood_limit(self, limit):
        """From now on sends over `limit` (a FloodLimit) are answered 429; None: no limit.
        Counting starts afresh."""
        if limit is not None and not isinstance(limit, FloodLimit):
            raise TypeError("limit must be a FloodLimit or None")
        with self.lock:
            self.flood = limit
            for box in self._mailboxes.values():
                box.flood = FloodGate()

    def set_send_delay(self, seconds):
        """From now on every send is answered `seconds` later (a slow Telegram)."""
        with self.lock:
            self.send_delay = max(0.0, float(seconds))

    # The operator's side, in the same process (no credential needed). `token` names the bot;
    # by default the server's own.

    def _mailbox(self, token):
        token = token or self.token
        box = self._mailboxes.get(token)
        if box is None:
            if len(self._mailboxes) >= MAX_BOTS:
                raise ApiError(401, "Unauthorized: too many bots on this server")
            box = self._mailboxes[token] = Mailbox(token, self.username, self.history,
                                                   self.photo_store)
        return box

    def post_message(self, text, chat_id, *, token=None, user_id=None, first_name="Operator",
                     chat_type="private"):
        """Queues a message from a user (by default the private chat's own user); commands in
        it carry their bot_command entities. Returns the update id."""
        with self.lock:
            update = self._mailbox(token).add_message(
                text, chat_id, chat_id if user_id is None else user_id, first_name, chat_type)
            self.lock.notify_all()
        return update["update_id"]

    def edit_message(self, update_id, text, *, token=None):
        """Queues an edit of the message posted as update `update_id`, as Telegram reports a
        user editing a sent message (an `edited_message` update). Returns the new update's
        id."""
        with self.lock:
            update = self._mailbox(token).edit_message(update_id, text)
            self.lock.notify_all()
        return update["update_id"]

    def press_button(self, message_id, *, data=None, text=None, token=None, user_id=None,
                     first_name="Operator"):
        """Presses a button of the inline keyboard that the bot's message `message_id` shows
        now: the one with callback data `data`, or else the one labelled `text`. Queues the
        `callback_query` update (from the chat's own user unless `user_id` is given) and
        returns the query's id. LookupError when there is no such message or button."""
        if (data is None) == (text is None):
            raise ValueError("name the button by its callback data or by its text, one of them")
        with self.lock:
            update = self._mailbox(token).press(message_id, data, text, user_id, first_name)
            self.lock.notify_all()
        return update["callback_query"]["id"]

    def sent(self, *, token=None, after=0):
        """The messages the bot sent, in order, as they stand now: every one still kept (the
        newest `history`), or with `after` only those numbered (`seq`) after it."""
        with self.lock:
            return self._mailbox(token).sent_after(after)

    def sent_count(self, *, token=None):
        """How many messages the bot sent in all (the `seq` of the last one)."""
        with self.lock:
            return self._mailbox(token).sent_count

    def message(self, message_id, *, token=None):
        """The bot's message `message_id` as it stands now (text, keyboard, earlier versions);
        LookupError when it is not kept."""
        with self.lock:
            return self._mailbox(token).sent_message(message_id).snapshot()

    def photo(self, message_id, *, token=None):
        """The bytes of the photo the bot sent as message `message_id`; LookupError when the
        message is no photo or its bytes are no longer kept."""
        with self.lock:
            box = self._mailbox(token)
            kept = box.sent_message(message_id)
            if kept.photo is None:
                raise LookupError(f"message {message_id} is no photo")
            data = box.photos.get(kept.photo.file_id)
        if data is None:
            raise LookupError(f"the photo of message {message_id} is no longer kept")
        return data

    def callback_answer(self, query_id, *, token=None):
        """The bot's answer to the press `query_id` (a CallbackAnswer), None while it has not
        answered; LookupError for a query not pressed here (or no longer kept)."""
        with self.lock:
            return self._mailbox(token).queries.answer_of(query_id)

    def callback_answers(self, *, token=None, after=0):
        """The bot's answers to presses, in the order given (the newest `history`), or with
        `after` only those numbered (`seq`) after it."""
        with self.lock:
            return [a for a in self._mailbox(token).queries.answers if a.seq > after]

    def pending(self, *, token=None):
        """The updates not yet confirmed by the bot."""
        with self.lock:
            return list(self._mailbox(token).pending)

    def polls(self, *, token=None):
        """How many getUpdates requests the bot made."""
        with self.lock:
            return self._mailbox(token).polls

    def dropped(self, *, token=None):
        """How many updates were dropped unconfirmed: by deleteWebhook(drop_pending_updates=
        True), or the oldest when more than `history` waited."""
        with self.lock:
            return self._mailbox(token).dropped

    def flood_refusals(self, *, token=None):
        """How many sends were answered 429."""
        with self.lock:
            return self._mailbox(token).flood_refusals

    def connections_refused(self):
        """How many connections were answered 503 because every connection thread was busy."""
        return self._refused_before + (self._httpd.refused if self._httpd is not None else 0)

    def block_chat(self, chat_id, *, token=None):
        """From now on sending to `chat_id` fails (403, as when a user blocked the bot)."""
        with self.lock:
            self._mailbox(token).blocked_chats.add(chat_id)

    def revoke(self, *, token=None):
        """From now on every request with this token fails (401)."""
        with self.lock:
            self._mailbox(token).revoked = True

    # Waits, each bounded by `timeout` seconds.

    def wait_for(self, predicate, timeout=10.0):
        """Waits until predicate() is true (it runs under the server's lock, called again at
        every change); returns its last value, false when the time ran out."""
        with self.lock:
            return self.lock.wait_for(predicate, timeout)

    def wait_sent(self, n, *, token=None, timeout=10.0):
        """The n-th message (from 1) the bot sent, waiting for it."""
        return self._wait_sent(n, token, timeout, stop_aware=False)

    def wait_polling(self, polls=1, *, token=None, timeout=10.0):
        """Waits until the bot made `polls` getUpdates requests (the first one comes after
        start-up has dropped or kept the pending updates)."""
        self._wait_polling(polls, token, timeout, stop_aware=False)

    def wait_edited(self, message_id, edits=1, *, token=None, timeout=10.0):
        """The bot's message `message_id` once it has been edited `edits` times."""
        return self._wait_edited(message_id, edits, token, timeout, stop_aware=False)

    def wait_callback_answer(self, query_id, *, token=None, timeout=10.0):
        """The bot's answer to the press `query_id`, waiting for it."""
        return self._wait_callback_answer(query_id, token, timeout, stop_aware=False)

    def _wait(self, predicate, timeout, stop_aware):
        """wait_for; a wait on a request thread (`stop_aware`) also ends when the server stops."""
        with self.lock:
            if not stop_aware:
                return self.lock.wait_for(predicate, timeout)
            done = self.lock.wait_for(lambda: predicate() or self.stopping, timeout)
            if self.stopping and not predicate():
                raise ApiError(503, "Service Unavailable: the server is stopping")
            return done

    def _wait_sent(self, n, token, timeout, stop_aware):
        with self.lock:
            box = self._mailbox(token)
        if not self._wait(lambda: box.sent_count >= n, timeout, stop_aware):
            with self.lock:
                last = [m.snapshot() for m in list(box.sent)[-3:]]
                raise TimeoutError(f"{box.sent_count} message(s) sent, waited for {n}; the "
                                   f"last: {last!r}")
        with self.lock:
            return box.nth_sent(n)

    def _wait_polling(self, polls, token, timeout, stop_aware):
        with self.lock:
            box = self._mailbox(token)
        if not self._wait(lambda: box.polls >= polls, timeout, stop_aware):
            raise TimeoutError(f"{box.polls} getUpdates request(s), waited for {polls}")

    def _wait_edited(self, message_id, edits, token, timeout, stop_aware):
        with self.lock:
            box = self._mailbox(token)
            box.sent_message(message_id)  # LookupError at once for a message not kept

        def edited():
            try:
                return len(box.sent_message(message_id).edits) >= edits
            except LookupError:
                return True  # dropped from the history while waiting: said below

        if not self._wait(edited, timeout, stop_aware):
            with self.lock:
                raise TimeoutError(f"message {message_id} was edited "
                                   f"{len(box.sent_message(message_id).edits)} time(s), "
                                   f"waited for {edits}")
        with self.lock:
            return box.sent_message(message_id).snapshot()

    def _wait_callback_answer(self, query_id, token, timeout, stop_aware):
        with self.lock:
            box = self._mailbox(token)
            box.queries.answer_of(query_id)  # LookupError at once for a query not pressed

        def answered():
            try:
                return box.queries.answer_of(query_id) is not None
            except LookupError:
                return True  # no longer kept: said below

        if not self._wait(answered, timeout, stop_aware):
            raise TimeoutError(f"callback query {query_id} was not answered")
        with self.lock:
            return box.queries.answer_of(query_id)

    # Requests, on the request threads.

    def _dispatch(self, path, params):
        if path.startswith("/bot"):
            token, _, method = path[len("/bot"):].partition("/")
            return self.call(token, method, params)
        if path.startswith("/control/") and self.control_mode is not False:
            return self.control(path[len("/control/"):], params)
        raise ApiError(404, "Not Found")

    def call(self, token, method, params):
        """A Bot API method called with `token`."""
        if not BOT_TOKEN.fullmatch(token):
            raise ApiError(404, "Not Found")
        handler = METHODS.get(method.lower())
        if handler is None:
            raise ApiError(404, "Not Found")
        try:
            with self.lock:
                box = self._mailbox(token)
                if box.revoked:
                    raise ApiError(401, "Unauthorized")
            return handler(self, box, params)
        finally:
            with self.lock:  # a waiter may be watching for any request's effect
                self.lock.notify_all()

    def control(self, action, params):
        """A control call over HTTP: its credential first, then the action."""
        bot = control_http.authorize(self, params)
        handler = control_http.ACTIONS.get(action)
        if handler is None:
            raise ApiError(404, "Not Found")
        try:
            return handler(self, bot, params)
        except LookupError as exc:
            raise ApiError(400, f"Bad Request: {exc}") from None
        except ValueError as exc:
            raise ApiError(400, f"Bad Request: {exc}") from None
        except TimeoutError as exc:
            raise ApiError(504, str(exc)) from None
