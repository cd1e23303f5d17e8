"""send_message under Telegram's flood control: paced, sent again after a 429, in order."""
import threading
import time

import pytest
from telegram.error import RetryAfter

from botapi import FloodLimit
from tests.native.parking import parked
from tests.waiting import eventually

from .conftest import OPERATOR, UNPACED

DEFAULTS = {"chat_rate": 1.0, "chat_burst": 3.0, "total_rate": 30.0, "total_burst": 30.0}


def split_reply(pieces):
    """A text that send_message cuts into exactly `pieces` messages, and those messages."""
    lines = [f"piece {i:02d} " + "x" * 4080 for i in range(pieces)]
    return "\n".join(lines), lines


def test_a_reply_split_into_40_pieces_arrives_whole_and_in_order(bot, server, flood, capsys):
    # Unpaced against a strict limit: most pieces are refused at first and sent again.
    flood(FloodLimit(per_chat=20, chat_burst=1, retry_after=0.05))
    text, lines = split_reply(40)
    start, refusals = server.sent_count(), server.flood_refusals()
    bot.send_message(text)
    assert [m.text for m in server.sent(after=start)] == lines
    assert server.flood_refusals() - refusals >= 10
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("limits", [
    {"chat_rate": 20, "chat_burst": 1, "total_rate": 0},
    {"chat_rate": 0, "total_rate": 20, "total_burst": 1},
])
def test_sends_are_paced_to_the_limits(bot, server, flood, limits):
    bot.pace_sends(**limits)
    text, lines = split_reply(10)
    start = server.sent_count()
    began = time.monotonic()
    bot.send_message(text)
    # Nine waits of a twentieth of a second at the least, however fast the server answers.
    assert time.monotonic() - began >= 9 / 20
    assert [m.text for m in server.sent(after=start)] == lines


def test_concurrent_replies_are_not_interleaved(bot, server, flood):
    bot.pace_sends(chat_rate=50, chat_burst=1)
    texts = {who: split_reply(4) for who in "AB"}
    start = server.sent_count()
    threads = [threading.Thread(target=bot.send_message, args=(texts[who][0].replace(
        "piece", who),)) for who in "AB"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    got = "".join(m.text[0] for m in server.sent(after=start))
    assert got in ("AAAABBBB", "BBBBAAAA")


def test_a_message_finally_lost_is_reported_on_one_line(bot, server, flood, capsys):
    # The first piece passes; the second is refused with a wait too long to take.
    flood(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=1000))
    text, lines = split_reply(3)
    start = server.sent_count()
    with pytest.raises(RetryAfter):
        bot.send_message(text)
    assert [m.text for m in server.sent(after=start)] == lines[:1]
    assert capsys.readouterr().out == (
        f"Message to chat {OPERATOR} lost: piece 2 of 3 not sent "
        "(Flood control exceeded. Retry in 1000.0 seconds)\n")

    # Short waits, but refused every time: given up after a bounded number of tries.
    flood(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=0.01))
    refusals = server.flood_refusals()
    bot.send_message("passes")  # counting starts afresh
    with pytest.raises(RetryAfter):
        bot.send_message("never")
    assert server.flood_refusals() - refusals == 1 + 10
    assert capsys.readouterr().out.count("lost: piece 1 of 1") == 1


def test_close_ends_a_flood_wait_at_once(botmod, server, flood, capsys):
    token = "3200:flood-close"
    tb = botmod.TelegramBot(token)
    try:
        flood(FloodLimit(per_chat=0.01, chat_burst=1, retry_after=30))
        tb.send_message("passes")
        failure = {}

        def send():
            try:
                tb.send_message("waits thirty seconds")
            except RetryAfter as exc:
                failure["error"] = exc

        thread = threading.Thread(target=send)
        thread.start()
        assert server.wait_for(lambda: server.flood_refusals(token=token) == 1)
        began = time.monotonic()
        tb.close()  # runs while the sender waits: the wait does not hold the GIL
        thread.join(10)
        assert not thread.is_alive() and time.monotonic() - began < 5
        assert failure["error"].retry_after == 30
        assert "lost: piece 1 of 1" in capsys.readouterr().out
    finally:
        tb.close()
    assert [m.text for m in server.sent(token=token)] == ["passes"]


def test_pace_sends_arguments(botmod, bot):
    fresh = botmod.TelegramBot.__new__(botmod.TelegramBot)
    assert fresh.pace_sends() == DEFAULTS
    assert fresh.pace_sends(chat_rate=2, chat_burst=None) == {**DEFAULTS, "chat_rate": 2.0}
    assert fresh.pace_sends(None, 1, 0) == {"chat_rate": 2.0, "chat_burst": 1.0,
                                            "total_rate": 0.0, "total_burst": 30.0}
    for kwargs in [{"chat_rate": -1}, {"chat_rate": 0.001}, {"total_rate": float("nan")},
                   {"chat_burst": 0}, {"total_burst": float("inf")}]:
        with pytest.raises(ValueError, match=r"_(rate|burst) must be .*\d to \d.*, not "):
            fresh.pace_sends(**kwargs)
    with pytest.raises(TypeError, match="Argument 'chat_rate' has incorrect type"):
        fresh.pace_sends(chat_rate="fast")
    for flag in (True, False):  # not taken for 1 and 0 (no limit)
        with pytest.raises(TypeError, match=r"Argument 'total_rate' has incorrect type "
                                            r"\(expected float, got bool\)"):
            fresh.pace_sends(total_rate=flag)
    with pytest.raises(TypeError):
        fresh.pace_sends(speed=1)
    assert fresh.pace_sends()["chat_rate"] == 2.0  # refusals changed nothing


def test_a_send_from_within_a_send_does_not_wait_for_itself(bot, server):
    """As when a signal handler on the sending thread sends too."""
    ext = bot.updater.bot
    original = type(ext).send_message
    nested = []

    def send_message(**kwargs):
        if not nested:
            nested.append(True)
            bot.send_message("nested")
        return original(ext, **kwargs)

    object.__setattr__(ext, "send_message", send_message)
    start = server.sent_count()
    try:
        thread = threading.Thread(target=bot.send_message, args=("outer",), daemon=True)
        thread.start()
        thread.join(10)
        assert not thread.is_alive()
    finally:
        object.__delattr__(ext, "send_message")
    assert [m.text for m in server.sent(after=start)] == ["nested", "outer"]


def test_a_photo_sent_paced_takes_its_turn_and_counts_against_the_limits(bot, server, flood):
    from tests.botapi.images import png

    picture = png(40, 30)
    ext = bot.updater.bot

    def photo():
        return ext.send_photo(OPERATOR, photo=picture, caption="chart")

    # Paced as the server limits: the photo counts, so the text after it is never refused.
    flood(FloodLimit(per_chat=20, chat_burst=1, retry_after=0.05))
    bot.pace_sends(chat_rate=20, chat_burst=1)
    start, refusals = server.sent_count(), server.flood_refusals()
    bot.send_message("before")
    sent = bot.send_paced(photo)
    bot.send_message("after")
    assert server.flood_refusals() == refusals
    assert [m.text for m in server.sent(after=start)] == ["before", "chart", "after"]
    assert sent.photo and server.photo(sent.message_id) == picture  # send()'s own result

    # Unpaced against the limit: refused with a 429, called again after the wait, once sent.
    bot.pace_sends(**UNPACED)
    start = server.sent_count()
    bot.send_message("first")
    bot.send_paced(photo)
    assert server.flood_refusals() > refusals
    assert [m.text for m in server.sent(after=start)] == ["first", "chart"]


def test_send_paced_arguments_and_errors(bot, server, flood):
    with pytest.raises(TypeError, match="Argument 'send' has incorrect type"):
        bot.send_paced("not callable")
    with pytest.raises(TypeError, match="Argument 'chat_id' has incorrect type"):
        bot.send_paced(lambda: None, chat_id="x")
    with pytest.raises(ZeroDivisionError):  # any other error is the caller's, unchanged
        bot.send_paced(lambda: 1 / 0)
    assert bot.send_paced(lambda: "done", chat_id=OPERATOR) == "done"


def test_a_photo_waits_for_a_split_reply_being_sent(bot, server, flood):
    from tests.botapi.images import png

    ext = bot.updater.bot
    bot.pace_sends(chat_rate=50, chat_burst=1)
    text, lines = split_reply(4)
    start = server.sent_count()
    reply = threading.Thread(target=bot.send_message, args=(text,))
    reply.start()
    assert server.wait_for(lambda: server.sent_count() > start)  # its first piece is out
    bot.send_paced(lambda: ext.send_photo(OPERATOR, photo=png(8, 8), caption="photo"))
    reply.join(10)
    assert [m.text for m in server.sent(after=start)] == lines + ["photo"]


def test_a_send_from_within_a_send_leaves_the_turn_with_the_outer_one(bot, server):
    ext = bot.updater.bot
    original = type(ext).send_message
    later = threading.Thread(target=lambda: bot.send_message("after the outer one"), daemon=True)
    waited = []

    def send_message(**kwargs):
        if kwargs["text"] == "outer" and not waited:
            bot.send_message("nested")  # the turn taken again, and let go once
            later.start()
            eventually(lambda: parked(later))
            waited.append(later.is_alive())  # still waiting for the outer one's turn
        return original(ext, **kwargs)

    object.__setattr__(ext, "send_message", send_message)
    start = server.sent_count()
    try:
        bot.send_message("outer")
        later.join(10)
    finally:
        object.__delattr__(ext, "send_message")
    assert waited == [True]
    assert [m.text for m in server.sent(after=start)] == ["nested", "outer", "after the outer one"]


def test_the_next_slot_counts_from_the_end_of_the_previous_send(bot, server, flood):
    # A slow Telegram: each send takes 0.3 s. Counted from its start, the next slot (0.5 s
    # later) would be open almost at once after the answer; counted from its end it is not.
    bot.pace_sends(chat_rate=2, chat_burst=1)
    server.set_send_delay(0.3)
    began = time.monotonic()
    for n in range(3):
        bot.send_message(f"slow {n}")
    assert time.monotonic() - began >= 3 * 0.3 + 2 * 0.5


def test_after_a_refused_send_too_the_next_slot_counts_from_its_end(bot, server, flood):
    # Each send takes 0.2 s; the server takes one a second, the bot paces four: the second
    # message is refused at least once, and every try waits a quarter second after the end of
    # the one before it.
    flood(FloodLimit(per_chat=1, chat_burst=1, tolerance=0, retry_after=0.05))
    bot.pace_sends(chat_rate=4, chat_burst=1)
    server.set_send_delay(0.2)
    ext, tries = bot.updater.bot, []
    original = type(ext).send_message

    def send_message(**kwargs):
        began = time.monotonic()
        try:
            return original(ext, **kwargs)
        finally:
            tries.append((began, time.monotonic()))

    object.__setattr__(ext, "send_message", send_message)
    refusals = server.flood_refusals()
    try:
        bot.send_message("first")
        bot.send_message("second")
    finally:
        object.__delattr__(ext, "send_message")
    assert server.flood_refusals() > refusals
    gaps = [began - ended for (_, ended), (began, _) in zip(tries, tries[1:])]
    assert min(gaps) >= 0.25 - 0.001, gaps


def test_the_turn_goes_to_those_waiting_in_the_order_they_asked(bot, server):
    # The first sender, once done, asks again at once: it does not go before those that
    # waited for it.
    ext = bot.updater.bot
    original = type(ext).send_message
    waiting = [threading.Thread(target=lambda who=who: bot.send_message(who), daemon=True)
               for who in "BCD"]

    def send_message(**kwargs):
        if kwargs["text"] == "first":
            for thread in waiting:  # each in line before the next asks
                thread.start()
                eventually(lambda: parked(thread))
        return original(ext, **kwargs)

    object.__setattr__(ext, "send_message", send_message)
    start = server.sent_count()
    try:
        bot.send_message("first")
        bot.send_message("again")
        for thread in waiting:
            thread.join(10)
    finally:
        object.__delattr__(ext, "send_message")
    assert [m.text for m in server.sent(after=start)] == ["first", "B", "C", "D", "again"]
