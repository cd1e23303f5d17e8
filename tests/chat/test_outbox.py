"""The outbox: each piece of a reply sent once, whatever the chat does; Telegram's waits
honoured; a send that timed out repeated once, marked; late replies marked; close() within its
grace."""
import threading
import time
import types

import pytest
from telegram.error import NetworkError, RetryAfter, TimedOut

from zandor_trader.chat import Outbox
from zandor_trader.chat.pieces import MAX_MESSAGE_UNITS, split_message

from ..waiting import eventually


class Chat:
    """A chat that takes what `send` is given, after the failures queued for it: each is
    (error, accepted) — `accepted`: Telegram took the message though the send failed. They
    apply from attempt number `failing_from` (from 1) on."""

    def __init__(self):
        self.received = []
        self.attempts = []
        self.failures = []
        self.failing_from = 1

    def send(self, text):
        self.attempts.append(text)
        if self.failures and len(self.attempts) >= self.failing_from:
            error, accepted = self.failures.pop(0)
            if accepted:
                self.received.append(text)
            raise error
        self.received.append(text)


class Listener:
    def __init__(self):
        self.events = []

    def reply_queued(self, reply_id, text, due):
        self.events.append(("queued", reply_id, text))

    def reply_delivered(self, reply_id, when):
        self.events.append(("delivered", reply_id))

    def reply_given_up(self, reply_id, when):
        self.events.append(("given up", reply_id))


@pytest.fixture
def chat():
    return Chat()


@pytest.fixture
def make(chat):
    outboxes = []

    def make(**options):
        notices = options.pop("notices", [])
        outbox = Outbox(chat.send, log=notices.append, first_retry=0.001, last_retry=0.004,
                        **options).start()
        outbox.notices = notices
        outboxes.append(outbox)
        return outbox

    yield make
    for outbox in outboxes:
        outbox.close(0)


def long_reply(lines=3):
    """A reply of `lines` pieces: each line just under the limit."""
    return "\n".join(f"{n}" * (MAX_MESSAGE_UNITS - 10) for n in range(1, lines + 1))


def test_a_send_that_timed_out_is_repeated_once_marked_and_not_a_third_time(chat, make):
    listener = Listener()
    outbox = make(listener=listener)
    chat.failures = [(TimedOut(), True)]  # Telegram took it; its answer never came
    first = outbox.put("Deal: D1 order {A} EPZ5.CME LONG 1 @ 6850.25")
    assert outbox.flush(10)
    assert chat.received == ["Deal: D1 order {A} EPZ5.CME LONG 1 @ 6850.25",
                             "(repeat) Deal: D1 order {A} EPZ5.CME LONG 1 @ 6850.25"]
    # Timed out twice: it may have arrived either time, so it is not sent a third time.
    chat.failures = [(TimedOut(), False), (TimedOut(), False)]
    second = outbox.put("Deal: D2")
    assert outbox.flush(10)
    assert chat.attempts[-2:] == ["Deal: D2", "(repeat) Deal: D2"]
    assert outbox.notices[-1].startswith("Sending to the operator timed out again: not sent "
                                         "a third time (it may have arrived): Deal: D2")
    assert listener.events == [("queued", first, "Deal: D1 order {A} EPZ5.CME LONG 1 @ 6850.25"),
                               ("delivered", first), ("queued", second, "Deal: D2"),
                               ("delivered", second)]
    assert (first, second) == (1, 2)


def test_a_split_reply_whose_second_piece_fails_goes_on_from_that_piece(chat, make):
    text = long_reply(3)
    pieces = split_message(text)
    assert len(pieces) == 3
    outbox = make()
    chat.failures, chat.failing_from = [(NetworkError("connection reset"), False)], 2
    outbox.put(text)
    outbox.put("next")
    assert outbox.flush(10)
    assert chat.received == pieces + ["next"]
    assert chat.attempts == [pieces[0], pieces[1], pieces[1], pieces[2], "next"]
    assert outbox.sent == 2 and outbox.failures == 1


def test_retry_after_is_waited_out_as_asked_and_close_ends_the_wait(chat, make):
    outbox = make()
    chat.failures = [(RetryAfter(61), False)]
    outbox.put("Order placed: {A}")
    eventually(lambda: outbox.retry_due is not None)
    assert outbox.retry_due - time.monotonic() > 60  # not 0.5, 1, 2 s: what Telegram asked
    assert outbox.notices == ["Sending to the operator failed, trying again in 61 s: "
                              "RetryAfter: Flood control exceeded. Retry in 61.0 seconds"]
    started = time.monotonic()
    assert outbox.close(0.05) == ["Order placed: {A}"]
    assert time.monotonic() - started < 5
    assert chat.attempts == ["Order placed: {A}"]


def test_close_keeps_to_its_grace_cutting_short_a_send_stuck_in_a_flood_wait(chat, make):
    """The bot waits out Telegram's flood limit inside its send; past the grace, close()
    interrupts that wait (the bot's close) instead of waiting it out."""
    stuck, interrupted = threading.Event(), threading.Event()

    def send(text):
        stuck.set()
        if not interrupted.wait(30):  # the bot's wait for "retry after 30"
            raise AssertionError("never interrupted")
        raise RetryAfter(30)

    chat.send = send
    listener = Listener()
    outbox = make(interrupt=interrupted.set, listener=listener)
    outbox.put("Zandor-Trader terminated (Ctrl-C).")
    assert stuck.wait(10)
    started = time.monotonic()
    assert outbox.close(0.2) == ["Zandor-Trader terminated (Ctrl-C)."]
    assert time.monotonic() - started < 2
    assert outbox.notices[-1] == "Not delivered to the operator: Zandor-Trader terminated (Ctrl-C)."
    assert listener.events[-1] == ("given up", 1)
    # A reply put once the outbox closed is named too, and never queued.
    outbox.put("late")
    assert outbox.notices[-1] == "Not sent to the operator (the session is closing): late"
    assert listener.events[-1] == ("given up", 2)


def test_a_reply_that_goes_out_late_says_by_how_much_and_one_marked_as_a_repeat_says_so(chat,
                                                                                       make):
    now = [1000.0]
    outbox = make(clock=lambda: now[0])
    outbox.put("on time", due=990.0)  # 10 s: not marked
    outbox.put("Deal: D7", due=959.0)  # 41 s late
    outbox.put("Deal: D6", repeat=True)  # restored after a restart: it may have arrived
    assert outbox.flush(10)
    assert chat.received == ["on time", "(delayed 41 s) Deal: D7", "(repeat) Deal: D6"]


def test_marks_never_make_a_piece_too_long_for_one_message(chat, make):
    text = "x" * MAX_MESSAGE_UNITS  # one full piece
    outbox = make(clock=lambda: 100.0)
    outbox.put(text, due=0.0, repeat=True)
    assert outbox.flush(10)
    assert len(chat.received) == 2
    assert all(len(m) <= MAX_MESSAGE_UNITS for m in chat.received)
    assert all(m.startswith("(repeat) (delayed 100 s) ") for m in chat.received)
    assert "".join(m[len("(repeat) (delayed 100 s) "):] for m in chat.received) == text


def test_a_failing_chat_is_told_to_the_link_not_line_by_line(chat, make):
    told = []
    link = types.SimpleNamespace(failed=lambda error: told.append(error) or True,
                                 ok=lambda: told.append("ok"))
    outbox = make(link=link)
    chat.failures = [(NetworkError("down"), False)] * 3
    outbox.put("Gateway connection LOST.")
    assert outbox.flush(10)
    assert [str(t) for t in told] == ["down"] * 3 + ["ok"]
    assert outbox.notices == []  # the link tells the outage once


def test_hooks_and_listeners_that_fail_stop_nothing(chat, make):
    listener = types.SimpleNamespace(reply_queued=lambda *a: 1 / 0,
                                     reply_delivered=lambda *a: 1 / 0)
    outbox = make(listener=listener, on_sent=lambda text: 1 / 0)
    outbox.put("first", on_sent=lambda: 1 / 0)
    outbox.put("second")
    assert outbox.flush(10)
    assert chat.received == ["first", "second"]
    assert any("ZeroDivisionError" in n for n in outbox.notices)


@pytest.mark.parametrize("text, pieces", [
    ("short", ["short"]),
    ("", [""]),
    ("a" * 4096, ["a" * 4096]),
    ("a" * 4097, ["a" * 4096, "a"]),
    ("a" * 4000 + "\n" + "b" * 200, ["a" * 4000, "b" * 200]),  # cut at the break, dropped
    ("a" * 4096 + "\n" + "b", ["a" * 4096, "b"]),  # a break right after a full piece
    ("a" * 100 + "\n\n" + "b" * 4000, ["a" * 100 + "\n", "b" * 4000]),  # the last break
    ("a" * 4096 + "\n\n" + "b" * 5000, ["a" * 4096, "b" * 4096, "b" * 904]),  # empty line
    ("\U0001F600" * 2049, ["\U0001F600" * 2048, "\U0001F600"]),  # two units each
])
def test_split_message_cuts_as_the_bot_does(text, pieces):
    assert split_message(text) == pieces


BOT_SPLITS = """
import json, os, sys
from botapi import BotApiServer
texts = json.load(sys.stdin)
with BotApiServer(token="1000:split-check") as server:
    os.environ.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TRADER_CONFIG=os.devnull,
                      ZANDOR_TELEGRAM_TOKEN=server.token, ZANDOR_TELEGRAM_CHAT_ID="5")
    from zandor_trader.plugins.telegram import bot
    bot.bot.pace_sends(chat_rate=0, total_rate=0)
    try:
        pieces = []
        for text in texts:
            seen = server.sent_count()
            bot.bot.send_message(text)
            pieces.append([m.text for m in server.sent(after=seen)])
    finally:
        bot.bot.close()
json.dump(pieces, sys.stdout)
"""


def test_the_pieces_are_those_the_bot_module_sends_as_messages():
    """Cut the same way, each piece the outbox hands the bot goes out as one message."""
    import json
    import os
    import subprocess
    import sys

    texts = [long_reply(3), "a" * 4096 + "\n\n" + "b" * 5000, "\U0001F600" * 2049 + "\nend",
             "x" * 9000]
    env = {k: v for k, v in os.environ.items() if k.lower() != "https_proxy"}
    done = subprocess.run([sys.executable, "-c", BOT_SPLITS], input=json.dumps(texts),
                          capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [split_message(t) for t in texts]


def test_when_the_chat_is_back_a_reply_waiting_after_a_failure_goes_at_once(chat, make):
    outbox = Outbox(chat.send, log=[].append, first_retry=60, last_retry=60).start()
    try:
        chat.failures = [(NetworkError("down"), False)]
        outbox.put("Deal: D1")
        eventually(lambda: outbox.retry_due is not None)
        outbox.retry_now()  # the link saw the Bot API answer again
        assert outbox.flush(10) and chat.received == ["Deal: D1"]
        # Telegram's own "retry after" is still waited out.
        chat.failures = [(RetryAfter(60), False)]
        outbox.put("Deal: D2")
        eventually(lambda: outbox.retry_due is not None)
        outbox.retry_now()
        assert not outbox.flush(0.2)
    finally:
        assert outbox.close(0) == ["Deal: D2"]
