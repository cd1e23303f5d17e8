"""HTTP transport of the local Bot API server: a thread per connection, every request answered
in JSON (a malformed one too), and every connection cut at stop so that stopping is quick."""
import http.server
import json
import math
import selectors
import socket
import threading
import time
import urllib.parse

# Largest request body taken: a sendMessage of 4096 characters needs far less.
MAX_BODY = 1 << 20
# A client that connects and then says nothing is dropped after this many seconds.
IDLE_TIMEOUT = 30.0


class ApiError(Exception):
    """An error answered to the client as Telegram answers it."""

    def __init__(self, status, description, parameters=None):
        super().__init__(description)
        self.status = status
        self.description = description
        self.parameters = parameters

    def payload(self):
        body = {"ok": False, "error_code": self.status, "description": self.description}
        if self.parameters:
            body["parameters"] = self.parameters
        return body


def int_param(params, name, default=None):
    value = params.get(name)
    if value is None or value == "":
        if default is None:
            raise ApiError(400, f"Bad Request: parameter {name} is required")
        return default
    if isinstance(value, bool) or isinstance(value, float) and not value.is_integer():
        raise ApiError(400, f"Bad Request: invalid parameter {name}")
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):
        raise ApiError(400, f"Bad Request: invalid parameter {name}") from None


def float_param(params, name, default):
    value = params.get(name)
    if value is None or value == "":
        return default
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, bool) or not math.isfinite(number):
        raise ApiError(400, f"Bad Request: invalid parameter {name}")
    return number


def text_param(params, name):
    value = params.get(name)
    if value is None:
        raise ApiError(400, f"Bad Request: parameter {name} is required")
    if not isinstance(value, str):
        raise ApiError(400, f"Bad Request: parameter {name} must be a string")
    return value


def bool_param(params, name):
    return params.get(name) in (True, 1, "1", "true", "True")


class HttpServer(http.server.HTTPServer):
    """Serves each connection on a thread of its own and keeps track of them, so that stop
    can cut those still waiting for a request and join every thread within a bound."""

    def __init__(self, address, handler):
        super().__init__(address, handler)
        self._lock = threading.Lock()
        self._closing = False
        self._accepting = True
        self._connections = {}  # thread -> [socket, handling a request?]

    def server_activate(self):
        super().server_activate()
        # accept() never blocks the loop: a connection gone before it is taken is skipped.
        self.socket.setblocking(False)

    def accept_loop(self, poll_interval):
        """Takes connections until stop_accepting(); every wait is `poll_interval` at most."""
        with selectors.DefaultSelector() as selector:
            selector.register(self, selectors.EVENT_READ)
            while self._accepting:
                if selector.select(poll_interval) and self._accepting:
                    self._handle_request_noblock()

    def stop_accepting(self):
        self._accepting = False

    def process_request(self, request, client_address):
        thread = threading.Thread(target=self._connection, args=(request, client_address),
                                  name="botapi-request", daemon=True)
        with self._lock:
            if self._closing:
                self.shutdown_request(request)
                return
            self._connections[thread] = [request, False]
        try:
            thread.start()
        except BaseException:
            with self._lock:
                del self._connections[thread]
            self.shutdown_request(request)
            raise

    def _connection(self, request, client_address):
        try:
            self.finish_request(request, client_address)
        except Exception:
            self.handle_error(request, client_address)
        finally:
            self.shutdown_request(request)
            with self._lock:
                self._connections.pop(threading.current_thread(), None)

    def handle_error(self, request, client_address):
        pass  # a client that went away, or one cut at stop: nobody to tell

    def handling(self, busy):
        """Called by a request thread: True once its request is read, until it is answered."""
        with self._lock:
            entry = self._connections.get(threading.current_thread())
            if entry is not None:
                entry[1] = busy

    def close_connections(self, grace, timeout):
        """Cuts every connection still waiting for its request, gives those handling one
        `grace` seconds to answer, cuts the rest, and joins every thread (`timeout` in all).
        Returns the threads that did not end."""
        deadline = time.monotonic() + timeout
        with self._lock:
            self._closing = True
            idle = [s for s, busy in self._connections.values() if not busy]
        for sock in idle:
            _cut(sock)
        with self._lock:
            threads = list(self._connections)
        grace_end = time.monotonic() + grace
        for thread in threads:
            thread.join(max(0.0, grace_end - time.monotonic()))
        with self._lock:
            late = [s for s, _ in self._connections.values()]
        for sock in late:
            _cut(sock)
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        return [t for t in threads if t.is_alive()]


def _cut(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass  # already closed by its thread


class Handler(http.server.BaseHTTPRequestHandler):
    """One connection. `dispatch(path, params)` (set by a subclass per server) returns the
    result or raises ApiError."""

    dispatch = None
    protocol_version = "HTTP/1.0"  # one request per connection: nothing lingers at stop
    timeout = IDLE_TIMEOUT

    def do_GET(self):
        self._serve()

    def do_POST(self):
        self._serve()

    def log_message(self, format, *args):
        pass

    def send_error(self, code, message=None, explain=None):
        """The base class's answer to a request it cannot parse, in JSON as the API answers."""
        self.close_connection = True
        if self.request_version == "HTTP/0.9":  # unparsed: answer with a status line anyway
            self.request_version = "HTTP/1.0"
        short = self.responses.get(code, ("Error",))[0]
        self._answer(code, ApiError(code, f"{short}: {message}" if message else short).payload())

    def _serve(self):
        try:
            params = self._params()
        except ApiError as exc:
            self._answer(exc.status, exc.payload())
            return
        except TimeoutError:
            self._answer(408, ApiError(408, "Request Timeout").payload())
            return
        self.server.handling(True)
        path = self.path.partition("?")[0]
        try:
            payload = {"ok": True, "result": self.dispatch(path, params)}
            status = 200
        except ApiError as exc:
            status, payload = exc.status, exc.payload()
        except Exception as exc:  # a fault of ours: still an answer, not a dropped connection
            status = 500
            payload = ApiError(500, f"Internal Server Error: {type(exc).__name__}").payload()
        self._answer(status, payload)

    def _params(self):
        query = self.path.partition("?")[2]
        try:
            params = {k: v[-1] for k, v in urllib.parse.parse_qs(query, errors="strict").items()}
        except UnicodeDecodeError:
            raise ApiError(400, "Bad Request: the query is not UTF-8") from None
        body = self._body()
        if not body:
            return params
        kind = self.headers.get_content_type()
        if kind == "application/json":
            try:
                data = json.loads(body)
            except UnicodeDecodeError:
                raise ApiError(400, "Bad Request: the body is not UTF-8") from None
            except (ValueError, RecursionError):
                raise ApiError(400, "Bad Request: can't parse JSON") from None
            if not isinstance(data, dict):
                raise ApiError(400, "Bad Request: parameters must be a JSON object")
            params.update(data)
        elif kind == "application/x-www-form-urlencoded":
            try:
                text = body.decode("utf-8")
                form = urllib.parse.parse_qs(text, errors="strict")
            except UnicodeDecodeError:
                raise ApiError(400, "Bad Request: the body is not UTF-8") from None
            params.update({k: v[-1] for k, v in form.items()})
        else:
            raise ApiError(400, f"Bad Request: unsupported content type {kind}")
        return params

    def _body(self):
        if self.headers.get("Transfer-Encoding"):
            raise ApiError(411, "Length Required: send the body with a Content-Length")
        raw = self.headers.get("Content-Length")
        if raw is None:
            return b""
        raw = raw.strip()
        if not raw.isdigit() or not raw.isascii():
            raise ApiError(400, "Bad Request: invalid Content-Length")
        length = int(raw)
        if length > MAX_BODY:
            raise ApiError(413, "Request Entity Too Large")
        body = self.rfile.read(length)
        if len(body) < length:
            raise ApiError(400, "Bad Request: the body ended before its Content-Length")
        return body

    def _answer(self, status, payload):
        body = json.dumps(payload).encode()
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            self.close_connection = True  # the client went away, or was cut at stop
        finally:
            self.server.handling(False)
