"""The local Bot API server against clients that misbehave: malformed requests, idle
connections, more connections than it has threads for, and a stop while they hang on."""
import http.client
import json
import select
import socket
import threading
import time

import pytest
from telegram import Bot

from botapi import BotApiServer, RemoteServer, transport
from tests.waiting import eventually

TOKEN = "1111:transport-test"
CONTROL = "control-token-of-the-transport-test"


@pytest.fixture
def server():
    with BotApiServer(token=TOKEN, max_poll_timeout=60, control=True,
                      control_token=CONTROL) as srv:
        yield srv


def request(server, method, path, body=b"", headers=None):
    """One raw request; returns the status and the decoded JSON answer."""
    host, port = server.url[len("http://"):].split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        conn.putrequest(method, path, skip_accept_encoding=True)
        for name, value in (headers or {}).items():
            conn.putheader(name, value)
        conn.endheaders(body)
        reply = conn.getresponse()
        return reply.status, json.loads(reply.read())
    finally:
        conn.close()


def raw(server, data, shut_write=True):
    """Bytes sent as they are; returns the status line and the JSON body of the answer."""
    host, port = server.url[len("http://"):].split(":")
    with socket.create_connection((host, int(port)), timeout=10) as sock:
        sock.sendall(data)
        if shut_write:
            sock.shutdown(socket.SHUT_WR)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    return head.split(b"\r\n")[0].decode(), json.loads(body)


def control(action, **params):
    return "POST", f"/control/{action}", json.dumps(dict(params, token=CONTROL)).encode(), {
        "Content-Type": "application/json"}


def test_malformed_requests_are_answered_with_json_errors(server):
    json_type = {"Content-Type": "application/json"}
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    cases = [
        (control("message", chat_id=5), 400, "text is required"),
        (control("message", chat_id=5, text=7), 400, "must be a string"),
        (control("message", text="x"), 400, "chat_id is required"),
        (control("message", text="x", chat_id="five"), 400, "invalid parameter"),
        (control("edit", update_id=99, text="x"), 400, "no message of update"),
        (control("wait_sent", n=1, timeout="nan"), 400, "invalid parameter"),
        (control("wait_sent"), 400, "n is required"),
        (control("nothing"), 404, "Not Found"),
        (control("press", message_id=1, data="x", text="y"), 400, "one of them"),
        (control("press", message_id=1, data=5), 400, "must be a string"),
        (control("photo", message_id=1), 400, "not a kept message"),
        (control("sent", bot="not a token"), 400, "invalid parameter bot"),
        (("POST", "/control/message", b"[1]", json_type), 400, "JSON object"),
        (("POST", "/control/message", b"{", json_type), 400, "parse JSON"),
        (("POST", "/control/message", b'{"text": "\xff"}', json_type), 400, "not UTF-8"),
        (("POST", f"/bot{TOKEN}/sendMessage", b"chat_id=1&text=\xff", form), 400, "not UTF-8"),
        (("GET", f"/bot{TOKEN}/sendMessage?chat_id=1&text=%ff", b"", {}), 400, "not UTF-8"),
        (("POST", f"/bot{TOKEN}/sendMessage", b"x", {"Content-Type": "text/plain"}), 400,
         "content type"),
        (("GET", f"/bot{TOKEN}/getUpdates?timeout=inf", b"", {}), 400, "invalid parameter"),
        (("GET", f"/bot{TOKEN}/getUpdates?offset=1.5", b"", {}), 400, "invalid parameter"),
        (("GET", "/elsewhere", b"", {}), 404, "Not Found"),
        (("PUT", f"/bot{TOKEN}/getMe", b"", {}), 501, "Unsupported method"),
    ]
    for (method, path, body, headers), status, description in cases:
        headers = dict(headers, **({"Content-Length": str(len(body))} if body else {}))
        got = request(server, method, path, body, headers)
        assert got[0] == status and got[1]["ok"] is False, (path, body, got)
        assert got[1]["error_code"] == status and description in got[1]["description"], got

    def post(length, body=b"{}", shut_write=True):
        return raw(server, b"POST /control/sent HTTP/1.1\r\nContent-Type: application/json\r\n"
                   b"Content-Length: " + length + b"\r\n\r\n" + body, shut_write)

    assert post(b"abc")[0].endswith("400 Bad Request")
    assert "Content-Length" in post(b"-2")[1]["description"]
    assert post(b"\xd9\xa3")[1]["error_code"] == 400  # a digit, but not an ASCII one
    assert post(b"99999999999")[1]["error_code"] == 413
    assert "ended before" in post(b"50")[1]["description"]
    status, answer = raw(server, b"POST /bot1:x/getMe HTTP/1.1\r\nTransfer-Encoding: chunked"
                                 b"\r\n\r\n0\r\n\r\n")
    assert answer["error_code"] == 411
    status, answer = raw(server, b"GET / HTTP/x.y\r\n\r\n")
    assert status.endswith("400 Bad Request") and answer["ok"] is False
    # Nothing above changed a mailbox.
    assert server.pending() == [] and server.sent() == []


def test_stop_is_quick_whatever_the_clients_do(server):
    """Idle connections, a body that never comes, a client that does not read its answer, a
    long poll and a control wait: stop answers what it can and cuts the rest."""
    before = set(threading.enumerate())
    host, port = server.url[len("http://"):].split(":")
    idle = socket.create_connection((host, int(port)))
    half = socket.create_connection((host, int(port)))
    half.sendall(b"POST /control/sent HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")
    client = Bot(TOKEN, base_url=server.base_url)
    results = {}

    def poll():
        results["poll"] = client.get_updates(timeout=50)

    def wait():
        try:
            RemoteServer(server.control_url, CONTROL).wait_sent(1, timeout=50)
        except RuntimeError as exc:
            results["wait"] = str(exc)

    threads = [threading.Thread(target=poll), threading.Thread(target=wait)]
    for thread in threads:
        thread.start()
    server.wait_polling()
    # The idle connection waits without a thread; the half-sent request has one.
    eventually(lambda: busy(server) == 2 and len(server._httpd._connections) == 3)
    server.set_send_delay(50)
    delayed = threading.Thread(target=lambda: results.update(
        send=_failure(lambda: Bot(TOKEN, base_url=server.base_url).send_message(
            chat_id=5, text="slow"))))
    delayed.start()
    eventually(lambda: busy(server) == 3)

    started = time.monotonic()
    server.stop()
    took = time.monotonic() - started
    for thread in [*threads, delayed]:
        thread.join(10)
        assert not thread.is_alive()
    idle.close()
    half.close()
    assert took < 1.0, f"stop took {took:.2f} s"
    assert results["poll"] == [] and "stopping" in results["wait"]
    assert "stopping" in results["send"] and server.sent() == []
    # Threads of this server only: another server of the process may be serving meanwhile.
    mine = (f"botapi-request:{port}", f"botapi-server:{port}")
    assert [t for t in set(threading.enumerate()) - before if t.name in mine] == []


def busy(server):
    """How many connections are handling a request."""
    return sum(entry[1] for entry in list(server._httpd._connections.values()))


def _failure(fn):
    try:
        fn()
    except Exception as exc:
        return str(exc)
    return None


def request_threads(server):
    """The threads serving this server's connections (other servers may run beside it)."""
    return list(server._httpd._connections)


def test_connection_threads_stay_within_the_cap(server):
    """Idle sockets cost no thread; requests beyond the cap are answered 503 at once; the
    server serves again as soon as a thread is free, and stops within its bound."""
    host, port = server.url[len("http://"):].split(":")
    cap = server.max_connections
    client = Bot(TOKEN, base_url=server.base_url)
    idle = [socket.create_connection((host, int(port))) for _ in range(200)]
    stuck = []
    try:
        eventually(lambda: len(server._httpd._waiting) == 200)
        assert request_threads(server) == []
        assert client.get_me().id == 1111  # served beside them

        # Requests whose bodies never come hold a thread each, up to the cap.
        for _ in range(cap + 8):
            sock = socket.create_connection((host, int(port)), timeout=10)
            sock.sendall(b"POST /control/sent HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")
            stuck.append(sock)
        eventually(lambda: server.connections_refused() == 8)
        serving = request_threads(server)
        assert len(serving) == cap
        answered = select.select(stuck, [], [], 0)[0]
        assert len(answered) == 8
        for sock in answered:
            head, _, body = sock.recv(4096).partition(b"\r\n\r\n")
            assert head.startswith(b"HTTP/1.0 503 ")
            assert json.loads(body)["description"] == "Service Unavailable: too many connections"
        status, answer = raw(server, b"GET /bot" + TOKEN.encode() + b"/getMe HTTP/1.0\r\n\r\n")
        assert "503" in status and answer["error_code"] == 503

        # A thread freed, a request is served again.
        for sock in [s for s in stuck if s not in answered][:3]:
            sock.shutdown(socket.SHUT_RDWR)
        eventually(lambda: len(request_threads(server)) <= cap - 3)
        assert client.get_me().id == 1111
        assert len(request_threads(server)) <= cap
        serving += request_threads(server)

        started = time.monotonic()
        server.stop()
        assert time.monotonic() - started < 1.0
        assert not [t for t in serving if t.is_alive()]
        assert server.connections_refused() == 9  # still told after the stop
    finally:
        for sock in idle + stuck:
            sock.close()


def test_a_connection_that_never_speaks_is_dropped(server, monkeypatch):
    monkeypatch.setattr(transport, "IDLE_TIMEOUT", 0.2)
    host, port = server.url[len("http://"):].split(":")
    with socket.create_connection((host, int(port)), timeout=10) as sock:
        assert sock.recv(1) == b""  # closed by the server, without a thread or an answer
    eventually(lambda: server._httpd._waiting == {})
    assert request_threads(server) == []
