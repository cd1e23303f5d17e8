"""The command handlers' replies under flood control: paced with the engine's messages and
sent again after a 429; a reply that cannot be sent loses no command; each error the
dispatcher sees is one printed line, never a traceback."""
import re
import threading
import time
import types
import urllib.request

import pytest
from telegram import Update
from telegram.error import Conflict, NetworkError, TimedOut, Unauthorized
from telegram.ext import TypeHandler

from botapi import FloodLimit
from tests.waiting import eventually
from zandor_trader.chat import RequestIntake

from .conftest import OPERATOR, TOKEN

BURST = ["/positions"] * 4 + ["/orders 2", "/deals 2"]
ACKNOWLEDGED = ["[T] Fetching positions..."] * 4 + [
    "[T] ['2']...",
    "[T] Fetching orders (active_orders=False, num_orders_displayed=2)...",
    "[T] Fetching deals (num_deals_displayed=2)..."]
TAKEN = [("get_positions", {})] * 4 + [
    ("get_orders", {"active_orders": False, "num_orders_displayed": 2}),
    ("get_deals", {"num_deals_displayed": 2})]

_STAMP = re.compile(r"^\[[^\]]*\]")


def unstamped(messages):
    return [_STAMP.sub("[T]", m.text) for m in messages]


@pytest.fixture
def taken(bot):
    """What the engine is handed: each update's request, taken right after the bot's
    handlers (also after one that failed), as the session's intake takes it."""
    requests = []
    handler = TypeHandler(Update, RequestIntake(bot, requests.append).on_dispatched)
    dispatcher = bot.updater.dispatcher
    dispatcher.add_handler(handler, group=1)
    yield requests
    dispatcher.remove_handler(handler, group=1)


def kinds(requests):
    return [(r.kind, r.params) for r in requests]


@pytest.fixture
def failing_sends(bot):
    """Makes every send through the client raise the error given; counts the tries."""
    ext, tries = bot.updater.bot, []

    def fail_with(error):
        def send_message(**kwargs):
            tries.append(kwargs["text"])
            raise error
        object.__setattr__(ext, "send_message", send_message)
        return tries

    yield fail_with
    if "send_message" in vars(ext):
        object.__delattr__(ext, "send_message")


def no_tracebacks(caplog):
    return [r.getMessage() for r in caplog.records if r.exc_info]


@pytest.mark.parametrize("paced", [True, False], ids=["paced", "unpaced"])
def test_a_burst_under_flood_control_is_acknowledged_each_once_and_reaches_the_engine(
        bot, server, flood, taken, capsys, paced):
    # Ten a second to the chat, no burst and not a moment early.
    flood(FloodLimit(per_chat=10, chat_burst=1, tolerance=0, retry_after=0.05))
    if paced:
        bot.pace_sends(chat_rate=10, chat_burst=1)
    start, refusals = server.sent_count(), server.flood_refusals()
    engine = threading.Thread(target=lambda: [bot.send_message(f"engine {n}") for n in range(4)])
    for text in BURST:
        server.post_message(text, OPERATOR)
    engine.start()  # its messages go out in turn with the replies
    assert server.wait_for(lambda: server.sent_count() - start == len(ACKNOWLEDGED) + 4, 20)
    engine.join(10)
    texts = unstamped(server.sent(after=start))
    assert [t for t in texts if not t.startswith("engine")] == ACKNOWLEDGED
    assert [t for t in texts if t.startswith("engine")] == [f"engine {n}" for n in range(4)]
    eventually(lambda: len(taken) == len(TAKEN))
    assert kinds(taken) == TAKEN
    if paced:  # the pacer knows of every message: none is refused
        assert server.flood_refusals() == refusals
    else:  # refused, and sent again once the server's wait is over
        assert server.flood_refusals() > refusals
    assert capsys.readouterr().out == ""


def test_replies_given_up_lose_no_command_and_each_is_one_line(bot, server, flood, taken,
                                                               capsys, caplog):
    # The chat's one message for a while passes; every later one is asked to wait far longer
    # than a reply may wait.
    flood(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=1000))
    bot.send_message("passes")
    start = server.sent_count()
    commands = ["/orders 2", "/deals -3", "/cancel_order {X-1} GW"]
    for text in commands:
        server.post_message(text, OPERATOR)
    eventually(lambda: len(taken) == len(commands))
    # /orders acknowledges before it writes: its fields are written all the same.
    assert kinds(taken) == [
        ("get_orders", {"active_orders": False, "num_orders_displayed": 2}),
        ("get_deals", {"num_deals_displayed": -3}),
        ("cancel_order", {"cancel_order_id": "{X-1}", "gateway_name": "GW"})]
    assert server.sent(after=start) == []
    refusal = "Flood control exceeded. Retry in 1000.0 seconds"
    assert capsys.readouterr().out == "".join(
        f"Message to chat {OPERATOR} lost: piece 1 of 1 not sent ({refusal})\n"
        f"Bot error while handling {text!r}: RetryAfter: {refusal}\n" for text in commands)
    assert no_tracebacks(caplog) == []


@pytest.mark.parametrize("error", [
    NetworkError("Bad Gateway"),
    TimedOut(),
    Unauthorized("Forbidden: bot was blocked by the user"),
], ids=lambda e: type(e).__name__)
def test_a_reply_that_fails_otherwise_is_tried_once_and_its_fields_are_written(
        bot, taken, failing_sends, capsys, caplog, server, error):
    tries = failing_sends(error)
    server.post_message("/orders -a 3", OPERATOR)
    eventually(lambda: len(taken) == 1)
    assert kinds(taken) == [("get_orders", {"active_orders": True, "num_orders_displayed": 3})]
    # The acknowledgement failed: the summary after it is not tried.
    assert [_STAMP.sub("[T]", t) for t in tries] == ["[T] ['-a', '3']..."]
    assert capsys.readouterr().out == (
        f"Bot error while handling '/orders -a 3': {type(error).__name__}: {error}\n")
    assert no_tracebacks(caplog) == []


def test_the_module_error_handler_is_registered_and_prints_one_line(botmod, bot, capsys):
    assert list(bot.updater.dispatcher.error_handlers) == [botmod.error_handler]
    ext = bot.updater.bot

    def handle(error, update=None, **context):
        botmod.error_handler(update, types.SimpleNamespace(error=error, bot=ext, **context))

    # Polling has no update; the client's errors may name the address with the token.
    handle(NetworkError(f"urllib3 HTTPError /bot{TOKEN}/getUpdates (twice: {TOKEN})"))
    message = types.SimpleNamespace(text="/balance")
    handle(Conflict("terminated by other getUpdates request"),
           update=types.SimpleNamespace(effective_message=message))

    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no text")

    handle(Unprintable())  # no line, and nothing raised back into the library
    handle(None)
    botmod.error_handler(object(), types.SimpleNamespace())
    assert capsys.readouterr().out == (
        "Bot error: NetworkError: urllib3 HTTPError /bot***/getUpdates (twice: ***)\n"
        "Bot error while handling '/balance': Conflict: terminated by other getUpdates "
        "request\n")


def test_a_polling_error_is_one_line(bot, server, capsys, caplog):
    # A second getUpdates for the bot's token: its own poll is answered 409 Conflict.
    urllib.request.urlopen(f"{server.base_url}{TOKEN}/getUpdates?timeout=1", timeout=10).read()
    eventually(lambda: "Bot error: Conflict: " in capsys.readouterr().out)
    assert no_tracebacks(caplog) == []


def test_close_ends_a_handlers_flood_wait_and_the_command_stays_whole(botmod, server, flood,
                                                                       capsys):
    token = "3300:reply-close"
    tb = botmod.TelegramBot(token)
    try:
        server.wait_polling(token=token)
        flood(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=30))
        tb.send_message("passes")
        server.post_message("/orders 2", OPERATOR, token=token)
        assert server.wait_for(lambda: server.flood_refusals(token=token) == 1)
        began = time.monotonic()
        tb.close()  # the handler waits out the 429 with the GIL given up: close() runs
        assert time.monotonic() - began < 5
        assert (tb.get_orders, tb.num_orders_displayed) == (True, 2)
        out = capsys.readouterr().out
        assert "lost: piece 1 of 1" in out
        assert "Bot error while handling '/orders 2': RetryAfter: " in out
    finally:
        tb.close()
    assert [m.text for m in server.sent(token=token)] == ["passes"]


# Long: twenty messages at Telegram's pace take twenty seconds.
@pytest.mark.long
def test_twenty_paced_sends_to_one_chat_take_twenty_seconds_none_refused(bot, server, flood):
    # Telegram's limits, counted as strictly as can be: never two sends within a second.
    flood(FloodLimit(tolerance=0))
    bot.pace_sends(chat_rate=1, chat_burst=3, total_rate=30, total_burst=30)
    refusals = server.flood_refusals()
    for n in range(3):  # the burst the limits allow
        bot.send_message(f"burst {n}")
    began = time.monotonic()
    for n in range(20):
        bot.send_message(f"paced {n}")
    took = time.monotonic() - began
    assert 19 <= took <= 21, took
    assert server.flood_refusals() == refusals
