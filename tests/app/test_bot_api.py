"""The local Bot API server a session starts: random tokens each time, and a control interface
only when asked for (--bot-port), answering none but the holder of its token file."""
import json
import os
import stat
import urllib.error
import urllib.request

import pytest

from botapi import RemoteServer
from zandor_trader.app import bot_api, bot_loader
from zandor_trader.app.settings import Settings

OLD_CONSTANT_TOKEN = "123456789:local-placeholder-token"


@pytest.fixture
def choose(monkeypatch, capsys):
    """choose_bot_api as a first session in its process; the servers stopped afterwards."""
    monkeypatch.setattr(bot_loader, "is_loaded", lambda: False)
    servers = []

    def choose(**settings):
        api = bot_api.choose_bot_api(Settings(**settings))
        servers.append(api.server)
        return api, capsys.readouterr().out.strip()

    yield choose
    for server in servers:
        server.stop()


def control_status(url, **params):
    request = urllib.request.Request(url, data=json.dumps(params).encode(),
                                     headers={"Content-Type": "application/json"})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(request, timeout=10) as reply:
            return reply.status
    except urllib.error.HTTPError as exc:
        return exc.code


def test_with_a_port_the_control_interface_takes_only_the_token_in_the_users_file(choose):
    api, printed = choose(bot_port=0, telegram_chat_id=77)
    server = api.server
    path = printed.split("token in ", 1)[1].rstrip(")")
    assert printed == (f"Operator chat 77 on the local Bot API server {server.base_url} "
                       f"(control {server.control_url}, token in {path})")
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    action = server.control_url + "/message"
    for credential in ({"token": OLD_CONSTANT_TOKEN}, {"token": api.token}, {}):
        assert control_status(action, text="/send_order EPZ5,3,l,o,m,CQG,None,None",
                              chat_id=77, **credential) == 401
    RemoteServer.from_token_file(server.control_url, path).post_message("/balance", 77)
    assert [u["message"]["text"] for u in server.pending()] == ["/balance"]
    assert api.token != OLD_CONSTANT_TOKEN and set(api.tokens()) == {
        api.token, server.control_token}
    server.stop()
    assert not os.path.exists(path)  # the token goes with the server


def test_without_a_port_no_control_interface_and_each_session_its_own_bot_token(choose):
    first, printed = choose()
    assert first.server.control_url is None and "control" not in printed
    url = first.server.url + "/control/message"
    for credential in ({"token": OLD_CONSTANT_TOKEN}, {"token": first.token}, {}):
        assert control_status(url, text="/stop", chat_id=1, **credential) == 404
    second, _ = choose()
    assert len({first.token, second.token, OLD_CONSTANT_TOKEN}) == 3
