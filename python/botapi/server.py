"""The HTTP server: the Bot API methods the bot uses, and the control interface."""
import http.server
import json
import re
import threading
import time
import urllib.parse

from .mailbox import MAX_MESSAGE_LENGTH, Mailbox, message_length

_TOKEN = re.compile(r"\d+:[A-Za-z0-9_-]+")


class ApiError(Exception):
    """An error answered to the client as Telegram answers it."""

    def __init__(self, status, description):
        super().__init__(description)
        self.status = status
        self.description = description


def _int(params, name, default=None):
    value = params.get(name)
    if value is None or value == "":
        if default is None:
            raise ApiError(400, f"Bad Request: parameter {name} is required")
        return default
    try:
        return int(value)
    except (TypeError, ValueError):
        raise ApiError(400, f"Bad Request: invalid parameter {name}") from None


def _float(params, name, default):
    value = params.get(name)
    if value is None or value == "":
        return default
    try:
        return float(value)
    except (TypeError, ValueError):
        raise ApiError(400, f"Bad Request: invalid parameter {name}") from None


def _bool(params, name):
    return params.get(name) in (True, 1, "1", "true", "True")


class BotApiServer:
    """A threaded Bot API server on loopback with one mailbox per bot token.

    `token` is the default token of the control calls; `username` is every bot's user name
    (what getMe answers and what "/cmd@name" must name); a long poll waits at most
    `max_poll_timeout` seconds whatever the client asks, so that a client stops quickly.
    """

    def __init__(self, token=None, *, username="zandor_trader_bot", host="127.0.0.1", port=0,
                 max_poll_timeout=1.0):
        self.token = token
        self.username = username
        self.max_poll_timeout = max_poll_timeout
        self._address = (host, port)
        self._changed = threading.Condition()  # guards every mailbox and _stopping
        self._mailboxes = {}
        self._stopping = False
        self._httpd = None
        self._thread = None

    # Life cycle.

    def start(self):
        server = self

        class Handler(_Handler):
            api = server

        self._httpd = _HTTPServer(self._address, Handler)
        # The accept loop looks for a stop request this often; stop() waits for it.
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,),
                                        name="botapi-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Answers every long poll at once, then stops serving and joins every thread."""
        if self._httpd is None:
            return
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()
        self._httpd = None

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

    # Control interface: the operator's side.

    def _mailbox(self, token):
        token = token or self.token
        if token is None:
            raise ValueError("no token given and no default token")
        box = self._mailboxes.get(token)
        if box is None:
            box = self._mailboxes[token] = Mailbox(token, self.username)
        return box

    def post_message(self, text, chat_id, *, token=None, user_id=None, first_name="Operator",
                     chat_type="private"):
        """Queues a message from a user (by default the private chat's own user); a leading
        command carries its bot_command entity. Returns the update id."""
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

    def sent(self, *, token=None):
        """Every message the bot sent, in order."""
        with self._changed:
            return list(self._mailbox(token).sent)

    def pending(self, *, token=None):
        """The updates not yet confirmed by the bot."""
        with self._changed:
            return list(self._mailbox(token).pending)

    def polls(self, *, token=None):
        """How many getUpdates requests the bot made."""
        with self._changed:
            return self._mailbox(token).polls

    def dropped(self, *, token=None):
        """How many updates deleteWebhook(drop_pending_updates=True) dropped."""
        with self._changed:
            return self._mailbox(token).dropped

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
        with self._changed:
            box = self._mailbox(token)
        if not self.wait_for(lambda: len(box.sent) >= n, timeout):
            raise TimeoutError(f"{len(box.sent)} message(s) sent, waited for {n}: {box.sent!r}")
        with self._changed:
            return box.sent[n - 1]

    def wait_polling(self, polls=1, *, token=None, timeout=10.0):
        """Waits until the bot made `polls` getUpdates requests (the first one comes after
        start-up has dropped or kept the pending updates)."""
        with self._changed:
            box = self._mailbox(token)
        if not self.wait_for(lambda: box.polls >= polls, timeout):
            raise TimeoutError(f"{box.polls} getUpdates request(s), waited for {polls}")

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
            if _bool(params, "drop_pending_updates"):
                self._mailbox(token).drop_pending()
        return True

    def _get_updates(self, token, params):
        offset = _int(params, "offset", 0)
        limit = min(max(_int(params, "limit", 100), 1), 100)
        timeout = min(max(_float(params, "timeout", 0.0), 0.0), self.max_poll_timeout)
        deadline = time.monotonic() + timeout
        with self._changed:
            box = self._mailbox(token)
            box.polls += 1
            box.confirm(offset)
            self._changed.notify_all()
            while not box.pending and not self._stopping:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            return box.pending[:limit]

    def _send_message(self, token, params):
        chat_id = params.get("chat_id")
        try:
            chat_id = int(chat_id)
        except (TypeError, ValueError):
            raise ApiError(400, "Bad Request: chat not found") from None
        text = params.get("text")
        if not text:
            raise ApiError(400, "Bad Request: message text is empty")
        if message_length(text) > MAX_MESSAGE_LENGTH:
            raise ApiError(400, "Bad Request: message is too long")
        with self._changed:
            box = self._mailbox(token)
            if chat_id in box.blocked_chats:
                raise ApiError(403, "Forbidden: bot was blocked by the user")
            return box.record_sent(chat_id, text)

    # Control over HTTP, for a test driving the server from another process.

    def control(self, action, params):
        token = params.get("token")
        if action == "message":
            update_id = self.post_message(
                params["text"], _int(params, "chat_id"), token=token,
                user_id=_int(params, "user_id", 0) or None,
                first_name=params.get("first_name") or "Operator")
            return {"update_id": update_id}
        if action == "edit":
            return {"update_id": self.edit_message(_int(params, "update_id"), params["text"],
                                                   token=token)}
        if action == "sent":
            return [vars(m) for m in self.sent(token=token)]
        if action == "wait_sent":
            try:
                return vars(self.wait_sent(_int(params, "n"), token=token,
                                           timeout=_float(params, "timeout", 10.0)))
            except TimeoutError as exc:
                raise ApiError(504, str(exc)) from None
        if action == "wait_polling":
            try:
                self.wait_polling(_int(params, "polls", 1), token=token,
                                  timeout=_float(params, "timeout", 10.0))
            except TimeoutError as exc:
                raise ApiError(504, str(exc)) from None
            return True
        raise ApiError(404, "Not Found")


_METHODS = {
    "getme": BotApiServer._get_me,
    "deletewebhook": BotApiServer._delete_webhook,
    "getupdates": BotApiServer._get_updates,
    "sendmessage": BotApiServer._send_message,
}


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = False  # server_close joins every request thread
    block_on_close = True


class _Handler(http.server.BaseHTTPRequestHandler):
    api = None  # the BotApiServer, set by a subclass per server
    protocol_version = "HTTP/1.0"  # one request per connection: nothing lingers at stop
    timeout = 30  # bounds a client that connects and says nothing

    def do_GET(self):
        self._serve()

    def do_POST(self):
        self._serve()

    def log_message(self, format, *args):
        pass

    def _serve(self):
        path, _, query = self.path.partition("?")
        try:
            params = self._params(query)
            if path.startswith("/bot"):
                token, _, method = path[len("/bot"):].partition("/")
                result = self.api.call(token, method, params)
            elif path.startswith("/control/"):
                result = self.api.control(path[len("/control/"):], params)
            else:
                raise ApiError(404, "Not Found")
            self._answer(200, {"ok": True, "result": result})
        except ApiError as exc:
            self._answer(exc.status, {"ok": False, "error_code": exc.status,
                                      "description": exc.description})

    def _params(self, query):
        params = {k: v[-1] for k, v in urllib.parse.parse_qs(query).items()}
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if not body:
            return params
        kind = self.headers.get_content_type()
        if kind == "application/json":
            try:
                data = json.loads(body)
            except ValueError:
                raise ApiError(400, "Bad Request: can't parse JSON") from None
            if not isinstance(data, dict):
                raise ApiError(400, "Bad Request: parameters must be a JSON object")
            params.update(data)
        elif kind == "application/x-www-form-urlencoded":
            params.update({k: v[-1] for k, v in urllib.parse.parse_qs(body.decode()).items()})
        else:
            raise ApiError(400, f"Bad Request: unsupported content type {kind}")
        return params

    def _answer(self, status, payload):
        body = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
