"""The chat link: an outage told once when it starts and once when it ends, whoever noticed;
other library errors one line each; the library's own polling lines kept off the output."""
import logging
import types

from telegram.error import BadRequest, Conflict, NetworkError, RetryAfter, TimedOut

from zandor_trader.chat import ChatLink, SentLog
from zandor_trader.chat.link import POLLING_LOGGER, QuietPolling


def make_link():
    lines, changes, now = [], [], [1000.0]
    link = ChatLink(lines.append, on_change=lambda: changes.append(link.offline_since()),
                    clock=lambda: now[0], on_back=lambda: changes.append("retry now"))
    return link, lines, changes, now


def test_an_outage_is_one_line_when_lost_and_one_when_back():
    link, lines, changes, now = make_link()
    assert link.failed(NetworkError("urllib3 HTTPError [Errno 111] Connection refused"))
    for _ in range(50):  # polling, handler replies and the outbox, all failing meanwhile
        assert link.failed(NetworkError("urllib3 HTTPError [Errno 111] Connection refused"))
        assert link.failed(TimedOut())
    assert link.offline_since() == 1000.0
    now[0] = 1042.4
    link.ok()
    link.ok()
    assert lines == ["Chat link lost: NetworkError: urllib3 HTTPError [Errno 111] Connection "
                     "refused; replies wait until it is back", "Chat link back after 42 s"]
    assert changes == [1000.0, None, "retry now"] and link.offline_since() is None
    assert link.failed(ConnectionResetError("reset")) and link.offline_since() == 1042.4


def test_refusals_are_no_outage_and_the_error_handler_prints_each_on_one_line():
    link, lines, _, _ = make_link()
    for error in (BadRequest("Message is too long"), RetryAfter(3), Conflict("terminated by "
                  "other getUpdates request"), ValueError("x")):
        assert not link.failed(error)
    assert link.offline_since() is None and lines == []
    update = types.SimpleNamespace(effective_message=types.SimpleNamespace(text="/orders 2"))
    link.error_handler(update, types.SimpleNamespace(error=RetryAfter(1)))
    link.error_handler(None, types.SimpleNamespace(error=Conflict("terminated by other")))
    link.error_handler(None, types.SimpleNamespace(error=NetworkError("Bad Gateway")))
    link.error_handler(None, types.SimpleNamespace(error=NetworkError("Bad Gateway")))
    assert lines == [
        "Bot error while handling '/orders 2': RetryAfter: Flood control exceeded. Retry in "
        "1.0 seconds",
        "Bot error: Conflict: terminated by other",
        "Chat link lost: NetworkError: Bad Gateway; replies wait until it is back"]


def test_the_librarys_polling_error_lines_are_kept_off_while_quiet(caplog):
    logger = logging.getLogger(POLLING_LOGGER)
    with caplog.at_level(logging.DEBUG, logger=POLLING_LOGGER):
        with QuietPolling():
            logger.error("Error while %s: %s", "getting Updates", "Bad Gateway")
            logger.error("Invalid token; aborting")
        logger.error("Error while %s: %s", "getting Updates", "after the session")
    assert [r.getMessage() for r in caplog.records] == [
        "Invalid token; aborting", "Error while getting Updates: after the session"]


def test_every_request_of_the_bot_tells_the_link_how_it_went():
    link, lines, _, _ = make_link()
    outcomes = [NetworkError("down"), NetworkError("down"),
                {"chat": {"id": 5}, "text": "Deal: D1"}]

    def post(url, data=None, timeout=None):
        outcome = outcomes.pop(0)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    request = types.SimpleNamespace(post=post)
    bot = types.SimpleNamespace(updater=types.SimpleNamespace(bot=types.SimpleNamespace(
        request=request)))
    log = SentLog(5).attach(bot, link)
    for _ in range(2):
        try:
            request.post("http://x/bot1:t/getUpdates")
        except NetworkError:
            pass
        else:
            raise AssertionError("the failure was swallowed")
    assert link.offline_since() is not None
    request.post("http://x/bot1:t/sendMessage")
    assert link.offline_since() is None and len(lines) == 2
    assert [m.text for m in log.sent_after(0)[0]] == ["Deal: D1"]
    log.detach()
