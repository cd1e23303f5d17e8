"""Who may drive the local server: random tokens, the control interface only when asked for,
its token required and handed over in a file only the user can read."""
import json
import os
import signal
import stat
import subprocess
import sys
import urllib.error
import urllib.request

import pytest
from telegram import Bot

from botapi import BotApiServer, RemoteServer, random_bot_token, random_control_token
from botapi.tokens import BOT_TOKEN


def control_status(url, action="sent", **params):
    """(status, answer) of a raw control call."""
    request = urllib.request.Request(f"{url}/{action}", data=json.dumps(params).encode(),
                                     headers={"Content-Type": "application/json"})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(request, timeout=10) as reply:
            return reply.status, json.load(reply)
    except urllib.error.HTTPError as exc:
        return exc.code, json.load(exc)


def test_tokens_are_random_and_well_formed():
    bots = {random_bot_token() for _ in range(50)}
    controls = {random_control_token() for _ in range(50)}
    assert len(bots) == len(controls) == 50
    assert len({token.split(":")[0] for token in bots}) > 45  # the bot ids too
    for token in bots:
        bot_id, secret = token.split(":")
        assert BOT_TOKEN.fullmatch(token) and len(bot_id) == 10 and len(secret) == 35
    assert all(len(token) >= 43 and not BOT_TOKEN.fullmatch(token) for token in controls)
    one, two = BotApiServer(), BotApiServer()
    assert one.token != two.token and one.control_token != two.control_token
    Bot(one.token)  # python-telegram-bot takes it
    for bad in [{"token": "no-digits"}, {"control_token": "short"}, {"control": "yes"},
                {"token": "1:abcdefghijklmnopqrstuvwxyz", "control_token":
                 "1:abcdefghijklmnopqrstuvwxyz"}]:
        with pytest.raises(ValueError):
            BotApiServer(**bad)


def test_control_off_is_not_served():
    with BotApiServer(control=False) as server:
        assert server.control_url is None
        status, answer = control_status(server.url + "/control", token=server.control_token)
        assert (status, answer["description"]) == (404, "Not Found")
        with pytest.raises(ValueError, match="off"):
            server.write_control_token()
        server.post_message("/balance", 5)  # in the same process all still works
        assert len(server.pending()) == 1


def test_control_needs_the_control_token_and_nothing_else_will_do(monkeypatch):
    with BotApiServer(control=True) as server:
        url = server.control_url
        for params in [{}, {"token": None}, {"token": 1111}, {"token": server.token},
                       {"token": server.control_token[:-1]}, {"token": "1111:other-bot"},
                       {"token": server.control_token + "x"}]:
            status, answer = control_status(url, "message", text="/stop", chat_id=5, **params)
            assert (status, answer["error_code"]) == (401, 401), params
            assert answer["description"] == "Unauthorized: the control token is required"
        assert server.pending() == []
        with pytest.raises(PermissionError, match="control token"):
            RemoteServer(url, token=server.token).post_message("/stop", 5)
        with pytest.raises(ValueError, match="token"):
            RemoteServer(url).post_message("/stop", 5)

        remote = RemoteServer(url, token=server.control_token)
        monkeypatch.setenv("HTTP_PROXY", "http://127.0.0.1:1")  # the token goes nowhere else
        monkeypatch.setenv("http_proxy", "http://127.0.0.1:1")
        remote.post_message("/stop", 5)
        assert [u["message"]["text"] for u in server.pending()] == ["/stop"]
        # With the control token, `bot` names another bot's mailbox.
        other = "2222:another-bot"
        remote.post_message("/balance", 5, bot=other)
        assert [u["message"]["text"] for u in server.pending(token=other)] == ["/balance"]
        assert RemoteServer(url, server.control_token, bot=other).sent_count() == 0


def test_the_token_file_is_private_and_removed_at_stop(tmp_path):
    server = BotApiServer(control=True).start()
    try:
        path = server.write_control_token(tmp_path)
        assert os.path.dirname(path) == str(tmp_path)
        assert server.write_control_token(tmp_path) == path  # one file per server
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        remote = RemoteServer.from_token_file(server.control_url, path)
        assert remote.token == server.control_token
        remote.post_message("hi", 3)
        assert server.pending()[0]["message"]["text"] == "hi"
    finally:
        server.stop()
    assert not os.path.exists(path) and os.listdir(tmp_path) == []

    # Without a directory: a private one of its own, removed with the file.
    old = os.umask(0)  # even a careless umask gives nobody else access
    try:
        with BotApiServer(control=True) as server:
            path = server.write_control_token()
            directory = os.path.dirname(path)
            assert stat.S_IMODE(os.stat(directory).st_mode) == 0o700
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    finally:
        os.umask(old)
    assert not os.path.exists(directory)
    empty = tmp_path / "empty"
    empty.write_text("\n")
    with pytest.raises(ValueError, match="no token"):
        RemoteServer.from_token_file("http://127.0.0.1:1/control", empty)


def test_callers_written_before_the_control_token_keep_working():
    """control=None (the default): a bot's own token is a credential too, for that bot."""
    bot = "1111:legacy-bot"
    with BotApiServer(token=bot) as server:
        assert server.control_url.endswith("/control")
        RemoteServer(server.control_url, token=bot).post_message("/stop", 5)
        RemoteServer(server.control_url, token="3333:any").post_message("/balance", 5)
        RemoteServer(server.control_url, token=server.control_token).post_message("/deals", 5)
        assert [u["message"]["text"] for u in server.pending()] == ["/stop", "/deals"]
        assert len(server.pending(token="3333:any")) == 1
        for params in [{}, {"token": "not a token"}, {"token": 1111}]:
            assert control_status(server.control_url, **params)[0] == 401


def run_cli(*args):
    proc = subprocess.Popen([sys.executable, "-m", "botapi", *args], stdout=subprocess.PIPE,
                            text=True, env=dict(os.environ, PYTHONUNBUFFERED="1"))
    return proc, proc.stdout.readline().strip().partition("=")[2], proc.stdout.readline().strip()


def stop_cli(proc):
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=10) == 0
    proc.stdout.close()


def test_command_line_control_modes(tmp_path):
    proc, base_url, line = run_cli("--control", "token", "--control-dir", str(tmp_path))
    try:
        control, _, rest = line.partition("control: ")[2].partition(" (token in ")
        path = rest.rstrip(")")
        assert os.path.dirname(path) == str(tmp_path)
        Bot("4444:cli-bot", base_url=base_url).send_message(chat_id=1, text="hi")
        remote = RemoteServer.from_token_file(control, path, bot="4444:cli-bot")
        assert remote.wait_sent(1).text == "hi"
        with pytest.raises(PermissionError):
            RemoteServer(control, token="4444:cli-bot").sent()
    finally:
        stop_cli(proc)
    assert not os.path.exists(path)

    proc, base_url, line = run_cli("--control", "off")
    try:
        assert line == "control: off"
        status, _ = control_status(base_url[:-len("/bot")] + "/control", token="x" * 43)
        assert status == 404
    finally:
        stop_cli(proc)
