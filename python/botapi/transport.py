"""HTTP transport of the local Bot API server: a bounded number of connection threads, every
request answered in JSON (a malformed one too), and every connection cut at stop so that
stopping is quick.

One thread (the accept loop) takes every connection and watches it until its request begins
to arrive: only then does the connection get a thread of its own, so idle sockets cost no
thread. When `max_connections` threads are busy, a connection whose request arrives is
answered 503 at once and closed."""
import http.server
import json
import selectors
import socket
import threading
import time

from .errors import ApiError, bool_param, float_param, int_param, text_param
from .forms import body_params, max_body, query_params

__all__ = ["ApiError", "Handler", "HttpServer", "bool_param", "float_param", "int_param",
           "text_param", "MAX_CONNECTIONS"]

# Connection threads at most, by default: far more than one bot and its operator need.
MAX_CONNECTIONS = 32
# Connections accepted and waiting for their request, at most; beyond, the oldest is dropped.
MAX_WAITING = 256
# A client that connects and then says nothing is dropped after this many seconds.
IDLE_TIMEOUT = 30.0
# A body over the bound is read and dropped up to this size, so that the client, still
# sending, reads the 413 answer rather than a reset connection; a larger one is cut.
MAX_DISCARD = 64 << 20
# After the process ran out of file descriptors, accepting pauses this long.
_ACCEPT_PAUSE = 0.1

_BUSY_BODY = json.dumps(ApiError(503, "Service Unavailable: too many connections").payload())
BUSY_ANSWER = (f"HTTP/1.0 503 Service Unavailable\r\nContent-Type: application/json\r\n"
               f"Content-Length: {len(_BUSY_BODY)}\r\nRetry-After: 1\r\nConnection: close\r\n"
               f"\r\n{_BUSY_BODY}").encode()

_LISTEN, _WAKE = "listen", "wake"


class HttpServer(http.server.HTTPServer):
    """Serves each request on a thread of its own, `max_connections` at most, and keeps track
    of them, so that stop can cut those still waiting for a request and join every thread
    within a bound."""

    request_queue_size = 64

    def __init__(self, address, handler, max_connections=MAX_CONNECTIONS):
        super().__init__(address, handler)
        self.max_connections = max_connections
        self._lock = threading.Lock()
        self._closing = False
        self._accepting = True
        self._connections = {}  # thread -> [socket, handling a request?]
        self._waiting = {}  # accepted socket -> when it is dropped unless it speaks; no thread
        self.refused = 0  # connections answered 503
        self._wake_in, self._wake_out = socket.socketpair()
        self._wake_in.setblocking(False)
        self._wake_out.setblocking(False)

    def server_activate(self):
        super().server_activate()
        # accept() never blocks the loop: a connection gone before it is taken is skipped.
        self.socket.setblocking(False)

    def server_close(self):
        super().server_close()
        self._wake_in.close()
        self._wake_out.close()

    def connection_threads(self):
        with self._lock:
            return len(self._connections)

    def accept_loop(self):
        """Takes connections and hands over those whose request arrives, until
        stop_accepting(). Sleeps until a connection or a request comes, a waiting connection's
        time is up, or stop_accepting() wakes it."""
        paused_until = None
        with selectors.DefaultSelector() as selector:
            selector.register(self.socket, selectors.EVENT_READ, _LISTEN)
            selector.register(self._wake_in, selectors.EVENT_READ, _WAKE)
            try:
                while self._accepting:
                    now = time.monotonic()
                    if paused_until is not None and now >= paused_until:
                        selector.register(self.socket, selectors.EVENT_READ, _LISTEN)
                        paused_until = None
                    self._drop_expired(selector, now)
                    ends = list(self._waiting.values())
                    if paused_until is not None:
                        ends.append(paused_until)
                    timeout = max(0.0, min(ends) - now) if ends else None
                    for key, _ in selector.select(timeout):
                        if not self._accepting:
                            break
                        if key.data == _WAKE:
                            _drain(self._wake_in)
                        elif key.data == _LISTEN:
                            if not self._accept(selector):
                                selector.unregister(self.socket)
                                paused_until = time.monotonic() + _ACCEPT_PAUSE
                        else:
                            selector.unregister(key.fileobj)
                            del self._waiting[key.fileobj]
                            self._hand_over(key.fileobj)
            finally:
                for sock in self._waiting:
                    sock.close()
                self._waiting.clear()

    def stop_accepting(self):
        self._accepting = False
        try:
            self._wake_out.send(b"x")
        except OSError:
            pass  # a wake-up is pending already (or the loop is gone)

    def _accept(self, selector):
        """Takes the connections waiting in the backlog; False when the process has no file
        descriptor left for one (accepting then pauses)."""
        for _ in range(self.request_queue_size):
            try:
                sock, _ = self.socket.accept()
            except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                return True
            except OSError:  # out of file descriptors: free one, or pause
                if not self._waiting:
                    return False
                self._drop(selector, next(iter(self._waiting)))
                continue
            if len(self._waiting) >= MAX_WAITING:
                self._drop(selector, next(iter(self._waiting)))
            self._waiting[sock] = time.monotonic() + IDLE_TIMEOUT
            selector.register(sock, selectors.EVENT_READ, sock)
        return True

    def _drop(self, selector, sock):
        selector.unregister(sock)
        del self._waiting[sock]
        sock.close()

    def _drop_expired(self, selector, now):
        for sock in [s for s, end in self._waiting.items() if end <= now]:
            self._drop(selector, sock)

    def _hand_over(self, sock):
        """A request is arriving on `sock`: a thread serves it, or it is refused at once."""
        thread = threading.Thread(target=self._connection, args=(sock,),
                                  name=f"botapi-request:{self.server_address[1]}", daemon=True)
        with self._lock:
            closing = self._closing
            full = not closing and len(self._connections) >= self.max_connections
            if full:
                self.refused += 1
            elif not closing:
                self._connections[thread] = [sock, False]
        if closing or full:
            if full:
                _refuse(sock)
            sock.close()
            return
        try:
            thread.start()
        except BaseException:
            with self._lock:
                del self._connections[thread]
            sock.close()
            raise

    def _connection(self, request):
        try:
            self.finish_request(request, request.getpeername())
        except Exception:
            self.handle_error(request, None)
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


def _drain(sock):
    try:
        while sock.recv(4096):
            pass
    except OSError:
        pass  # nothing more to read


def _refuse(sock):
    """Answers 503 without blocking the accept loop. What the client sent is read first, as far
    as it came, so that closing does not reset the connection before it reads the answer."""
    try:
        sock.setblocking(False)
        for _ in range(16):
            if not sock.recv(65536):
                break
    except OSError:
        pass  # read all there was
    try:
        sock.send(BUSY_ANSWER)
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass  # the client went away


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
        params = query_params(self.path.partition("?")[2])
        kind = self.headers.get_content_type()
        body = self._body(max_body(kind))
        if body:
            params.update(body_params(kind, self.headers.get("Content-Type", ""), body))
        return params

    def _body(self, limit):
        if self.headers.get("Transfer-Encoding"):
            raise ApiError(411, "Length Required: send the body with a Content-Length")
        raw = self.headers.get("Content-Length")
        if raw is None:
            return b""
        raw = raw.strip()
        if not raw.isdigit() or not raw.isascii():
            raise ApiError(400, "Bad Request: invalid Content-Length")
        length = int(raw)
        if length > limit:
            if length <= MAX_DISCARD:
                self._discard(length)
            raise ApiError(413, "Request Entity Too Large")
        body = self.rfile.read(length)
        if len(body) < length:
            raise ApiError(400, "Bad Request: the body ended before its Content-Length")
        return body

    def _discard(self, length):
        while length > 0:
            chunk = self.rfile.read(min(length, 1 << 16))
            if not chunk:
                break
            length -= len(chunk)

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
