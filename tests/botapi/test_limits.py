"""The local Bot API server's limits: flood control, one poller per bot, bounded history."""
import math
import threading
import time

import pytest
from telegram import Bot
from telegram.error import Conflict, RetryAfter

from botapi import BotApiServer, FloodLimit, RemoteServer
from botapi.flood import FloodGate

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
    server.set_flood_limit(FloodLimit(per_chat=0.01, overall=100, chat_burst=1))
    client.send_message(chat_id=1, text="f")  # counting starts afresh
    with pytest.raises(RetryAfter) as err:
        client.send_message(chat_id=1, text="g")
    assert 90 <= err.value.retry_after <= 100 and err.value.retry_after.is_integer()
    server.set_flood_limit(None)
    client.send_message(chat_id=1, text="h")
    with pytest.raises(ValueError):
        FloodLimit(per_chat=0)
    for bad in [{"chat_burst": 0}, {"overall": math.inf}, {"tolerance": 1},
                {"tolerance": -0.1}, {"retry_after": 0}]:
        with pytest.raises(ValueError):
            FloodLimit(**bad)


def admitted(gate, limit, sends):
    """Which of `sends` ((chat, time) pairs, in order) the gate lets through."""
    return [gate.admit(limit, chat, now) is None for chat, now in sends]


def test_the_default_limit_is_telegrams_and_counts_from_when_sends_arrive():
    limit = FloodLimit()
    assert (limit.per_chat, limit.overall, limit.chat_burst, limit.overall_burst) == (1, 30, 3, 30)
    gate = FloodGate()
    # A burst of three to one chat, then one a second; the fourth at once is refused.
    assert admitted(gate, limit, [(1, 100.0)] * 4) == [True, True, True, False]
    # Sends that wait exactly a second (from the end of the previous one, so a little more
    # between arrivals, or a little less when measured from its start) all pass, for as long
    # as they keep it up: no rounding adds up to a refusal.
    gate = FloodGate()
    start = 1e5 + 0.1  # a monotonic clock far from zero, where float steps are coarse
    steps = [(1, start)] + [(1, start + 3 + i) for i in range(1000)]
    steps += [(1, start + 1003 + i - 0.09) for i in range(1, 50)]  # up to 0.09 s early
    assert all(admitted(gate, limit, steps))
    # Early sends count in full: a client always early gets no more than the rate.
    gate = FloodGate()
    sends = [(2, 50.0 + 0.95 * i) for i in range(100)]
    assert 90 < sum(admitted(gate, limit, sends)) <= 3 + 0.95 * 99 + 1  # burst + rate x time
    # Thirty a second in all: the 31st send at one moment, to chats of its own, is refused,
    # and says how long to wait in whole seconds.
    gate = FloodGate()
    assert admitted(gate, limit, [(c, 7.0) for c in range(30)]) == [True] * 30
    assert gate.admit(limit, 99, 7.0) == 1
    # However long a chat was quiet, what it saved is one burst.
    gate = FloodGate()
    assert admitted(gate, limit, [(3, 0.0), (3, 500.0), (3, 500.0), (3, 500.0), (3, 500.0)]) \
        == [True, True, True, True, False]
    slow, gate = FloodLimit(per_chat=0.1, chat_burst=1), FloodGate()
    assert gate.admit(slow, 1, 0.0) is None
    assert gate.admit(slow, 1, 0.5) == 9  # due at 10 s, less a tenth of it: 8.5 s, rounded up


def test_chats_are_forgotten_only_once_their_schedule_caught_up():
    limit, gate = FloodLimit(overall=1e6, overall_burst=10_000, chat_burst=1), FloodGate()
    assert all(admitted(gate, limit, [(c, 0.0) for c in range(FloodGate._PRUNE_AT)]))
    assert admitted(gate, limit, [(-1, 0.5), (0, 0.5)]) == [True, False]  # 0 is remembered
    assert all(admitted(gate, limit, [(-2, 5.0), (0, 5.0)]))  # all caught up: pruned


def test_a_client_pacing_from_the_end_of_each_send_is_never_refused(server, client):
    """What a paced sender does: wait the spacing after each answer, then send again."""
    server.set_flood_limit(FloodLimit(per_chat=50, chat_burst=1, overall=1000,
                                      retry_after=30))
    for i in range(20):
        client.send_message(chat_id=7, text=f"p{i}")
        time.sleep(1 / 50)  # the spacing itself: this is the pace under test, not a wait
    assert server.flood_refusals() == 0 and server.sent_count() == 20


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
