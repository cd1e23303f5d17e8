"""The local Bot API server's limits: flood control, one poller per bot, bounded history."""
import threading

import pytest
from telegram import Bot
from telegram.error import Conflict, RetryAfter

from botapi import BotApiServer, FloodLimit, RemoteServer

TOKEN = "1111:limits-test"


@pytest.fixture
def server():
    with BotApiServer(token=TOKEN, max_poll_timeout=60, history=5) as srv:
        yield srv


@pytest.fixture
def client(server):
    return Bot(TOKEN, base_url=server.base_url)


def test_flood_limit_answers_429_per_chat_and_overall(server, client):
    # Slow refills, so that nothing passes again while the test runs.
    server.set_flood_limit(FloodLimit(per_chat=0.01, overall=0.01, chat_burst=2,
                                      overall_burst=3, retry_after=0.25))
    client.send_message(chat_id=1, text="a")
    client.send_message(chat_id=1, text="b")
    with pytest.raises(RetryAfter) as err:  # the chat's burst is spent
        client.send_message(chat_id=1, text="c")
    assert err.value.retry_after == 0.25
    client.send_message(chat_id=2, text="d")
    with pytest.raises(RetryAfter):  # another chat, but the overall burst is spent
        client.send_message(chat_id=3, text="e")
    assert [m.text for m in server.sent()] == ["a", "b", "d"]
    assert server.flood_refusals() == 2

    # Without a fixed retry_after the answer is the wait, in whole seconds as Telegram gives.
    server.set_flood_limit(FloodLimit(per_chat=0.01, overall=100, retry_after=None))
    client.send_message(chat_id=1, text="f")  # counting starts afresh
    with pytest.raises(RetryAfter) as err:
        client.send_message(chat_id=1, text="g")
    assert 90 <= err.value.retry_after <= 100 and err.value.retry_after.is_integer()
    server.set_flood_limit(None)
    client.send_message(chat_id=1, text="h")
    with pytest.raises(ValueError):
        FloodLimit(per_chat=0)
    with pytest.raises(ValueError):
        FloodLimit(chat_burst=0)


def test_a_newer_get_updates_ends_the_older_with_conflict(server, client):
    failure = {}

    def older():
        try:
            client.get_updates(timeout=50)
        except Conflict as exc:
            failure["conflict"] = str(exc)

    thread = threading.Thread(target=older)
    thread.start()
    server.wait_polling()
    assert Bot(TOKEN, base_url=server.base_url).get_updates(timeout=0) == []
    thread.join(10)
    assert "terminated by other getUpdates request" in failure["conflict"]
    # Other bots poll undisturbed, and a poll after the older one ended is no conflict.
    assert Bot("2222:other", base_url=server.base_url).get_updates() == []
    server.post_message("after", 5)
    assert [u.message.text for u in client.get_updates(timeout=50)] == ["after"]


def test_history_is_bounded_and_readers_take_what_is_new(server, client):
    for i in range(1, 9):
        client.send_message(chat_id=5, text=f"m{i}")
    assert [(m.text, m.seq) for m in server.sent()] == [(f"m{i}", i) for i in range(4, 9)]
    assert [m.text for m in server.sent(after=6)] == ["m7", "m8"]
    assert server.sent(after=8) == [] and server.sent_count() == 8
    assert [m.text for m in server.sent(after=1)] == [f"m{i}" for i in range(4, 9)]
    assert server.wait_sent(8).text == "m8"
    with pytest.raises(LookupError):
        server.wait_sent(3)

    remote = RemoteServer(server.control_url, token=TOKEN)
    assert [(m.text, m.seq) for m in remote.sent(after=7)] == [("m8", 8)]
    assert len(remote.sent()) == 5 and remote.sent_count() == 8
    with pytest.raises(RuntimeError, match="not kept"):
        remote.wait_sent(2)

    # Unconfirmed updates and the messages that can be edited are bounded too.
    ids = [server.post_message(f"u{i}", 5) for i in range(7)]
    assert [u["update_id"] for u in server.pending()] == ids[2:]
    assert server.dropped() == 2
    with pytest.raises(LookupError):
        server.edit_message(ids[0], "too old to edit")
    server.edit_message(ids[-1], "/stop")
