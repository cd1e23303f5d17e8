"""TelegramBot as the engine uses it: construction, properties, send_message, get_updates,
close."""
import decimal
import threading
import types
import warnings

import pytest
from telegram.error import BadRequest, InvalidToken, Unauthorized
from telegram.ext import CommandHandler, ExtBot, MessageHandler, TypeHandler, Updater

from .conftest import INITIAL, OPERATOR, TOKEN, Chat, bot_threads, fields

SPARE = "3000:spare-bot"


@pytest.fixture(scope="module")
def spare(botmod, server):
    """A second bot with its own token (its own mailbox), built after a stale command."""
    server.post_message("/stop", OPERATOR, token=SPARE)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tb = botmod.TelegramBot(SPARE)
    server.wait_polling(token=SPARE)
    yield types.SimpleNamespace(bot=tb, warnings=caught, fields=fields(tb))
    tb.close()


@pytest.fixture(scope="module")
def closed_spare(spare, server):
    """The spare bot after it served one command and was closed."""
    assert Chat(server, SPARE).texts("/balance") == ["[T] Fetching balance..."]
    assert server.wait_for(lambda: not server.pending(token=SPARE))  # the next poll confirmed it
    assert spare.bot.close() is None
    return spare.bot


def test_construction(spare, server, botmod):
    tb = spare.bot
    assert spare.fields == INITIAL
    assert spare.warnings == []  # no deprecation warning for the extra fields, no pool warning
    assert server.dropped(token=SPARE) == 1 and server.sent(token=SPARE) == []
    assert isinstance(tb.updater, Updater)
    ext = tb.updater.bot
    assert type(ext) is botmod.CustomedExtBot and isinstance(ext, ExtBot)
    assert botmod.CustomedExtBot.__annotations__ == {"zandor_trader_status": str}
    assert ext.base_url == server.base_url + SPARE
    assert ext.request.con_pool_size == tb.updater.dispatcher.workers + 4
    assert not hasattr(tb, "updates")


def test_handlers_are_registered_behind_the_chat_guard(spare, botmod):
    handlers = spare.bot.updater.dispatcher.handlers
    (guard,) = handlers[-1]
    assert isinstance(guard, TypeHandler) and guard.callback is botmod._operator_chat_only
    echo, *commands = handlers[0]
    assert isinstance(echo, MessageHandler) and echo.callback is botmod.echo
    names = ["stop", "balance", "positions", "orders", "deals", "cancel_order", "cancel_orders",
             "send_order", "close_positions", "help"]
    assert all(isinstance(h, CommandHandler) for h in commands)
    assert [(h.command, h.callback) for h in commands] == [
        ([name], getattr(botmod, name)) for name in names]


def test_closed_bot_handles_nothing_and_leaves_updates_to_get_updates(closed_spare, server,
                                                                       capsys):
    tb = closed_spare
    assert bot_threads(3000) == []
    with pytest.raises(IndexError):
        tb.get_updates()
    assert tb.updates == []
    with pytest.raises(IndexError):
        tb.get_chat_id()

    server.post_message("/positions", 50, user_id=51, token=SPARE)
    server.post_message("second", 60, user_id=61, token=SPARE)
    capsys.readouterr()
    assert tb.get_updates() is None
    assert [u.message.text for u in tb.updates] == ["/positions", "second"]
    assert capsys.readouterr().out == f"{tb.updates[0]}\n"
    assert tb.get_chat_id() == 51
    assert capsys.readouterr().out == f"{tb.updates[0]}\n"
    # Nobody polls any more: the command was neither confirmed nor served.
    assert len(server.pending(token=SPARE)) == 2 and tb.get_positions is False
    tb.get_balance = False  # the fields stay writable
    assert fields(tb) == INITIAL
    assert tb.close() is None


class Falsy(str):
    pass


class BadTruth:
    def __bool__(self):
        raise ValueError("no truth")


def test_property_setters(bot):
    for value, stored in [("yes", True), ("", False), (None, False), (0, False), (2.5, True),
                          ([0], True), ([], False), (True, True)]:
        bot.get_balance = value
        assert bot.get_balance is stored
    with pytest.raises(ValueError, match="no truth"):
        bot.cancel_orders = BadTruth()
    assert bot.cancel_orders is False

    with pytest.raises(TypeError) as err:
        bot.zandor_trader_status = 5
    assert str(err.value) == "Argument 'val' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError):
        bot.zandor_trader_status = Falsy("Paused")
    assert bot.zandor_trader_status == "Running"
    bot.zandor_trader_status = "Paused"
    assert bot.updater.bot.zandor_trader_status == "Paused"

    marker = object()
    for name, value in [("num_orders_displayed", 5), ("order_string", "ES,1"),
                        ("cancel_order_id", None), ("gateway_name", marker)]:
        setattr(bot, name, value)
        assert getattr(bot, name) is value
    with pytest.raises(AttributeError):
        del bot.get_orders
    assert bot.get_orders is False


def test_send_message_argument_rules(bot, server):
    start = len(server.sent())
    assert bot.send_message("to the operator") is None
    bot.send_message("truncated", chat_id=12.7)
    bot.send_message(msg="toward zero", chat_id=-12.7)
    bot.send_message("decimal", decimal.Decimal("7.9"))
    for chat_id, msg, message in [
        ("12", "x", "Argument 'chat_id' has incorrect type (expected int, got str)"),
        (None, "x", "Argument 'chat_id' has incorrect type (expected int, got NoneType)"),
        (1, 5, "Argument 'msg' has incorrect type (expected str, got int)"),
        (1, Falsy("x"), "Argument 'msg' has incorrect type (expected str, got Falsy)"),
        ("12", 5, "Argument 'chat_id' has incorrect type (expected int, got str)"),
    ]:
        with pytest.raises(TypeError) as err:
            bot.send_message(msg, chat_id=chat_id)
        assert str(err.value) == message
    with pytest.raises(TypeError, match=r"takes at least 1 positional argument \(0 given\)"):
        bot.send_message()
    assert [(m.chat_id, m.text) for m in server.sent()[start:]] == [
        (OPERATOR, "to the operator"), (12, "truncated"), (-12, "toward zero"), (7, "decimal")]


def test_send_message_passes_client_errors_on(bot, server):
    with pytest.raises(BadRequest):
        bot.send_message("")
    server.block_chat(99)
    with pytest.raises(Unauthorized):
        bot.send_message("hi", chat_id=99)


@pytest.mark.parametrize("text, lengths, cut_at", [
    # 49 units a line with its break: 83 lines fit in one message.
    ("\n".join(f"line {i:04d} " + "y" * 38 for i in range(200)), [4066, 4066, 1665], "\n"),
    ("z" * 4096 + "\ntail", [4096, 4], "\n"),
    ("a" * 4000 + "\n\n" + "b" * 200, [4001, 200], "\n"),
    ("z" * 5000, [4096, 904], ""),  # one line too long for a message: cut hard
    ("\U0001F600" * 3000, [2048, 952], ""),  # two UTF-16 units each
])
def test_send_message_splits_long_texts(bot, server, text, lengths, cut_at):
    start = len(server.sent())
    bot.send_message(text)
    pieces = [m.text for m in server.sent()[start:]]
    assert [len(p) for p in pieces] == lengths
    assert cut_at.join(pieces) == text


def test_constructor_arguments(botmod, bot):
    for token, got in [(5, "int"), (None, "NoneType"), (Falsy(TOKEN), "Falsy")]:
        with pytest.raises(TypeError) as err:
            botmod.TelegramBot(token)
        assert str(err.value) == f"Argument 'token' has incorrect type (expected str, got {got})"
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        botmod.TelegramBot()
    with pytest.raises(InvalidToken):
        botmod.TelegramBot("not a token")
    with pytest.raises(RuntimeError):
        bot.__init__(TOKEN)  # a second client would poll beside the first
    with pytest.raises(TypeError, match=r"stop\(\) takes exactly 2 positional arguments"):
        botmod.stop(None)


def test_failed_start_leaves_no_thread(botmod, server):
    server.revoke(token="3100:revoked")
    def client_threads():  # the server's request threads come and go
        return {t for t in threading.enumerate() if not t.name.startswith("botapi-request")}

    before = client_threads()
    with pytest.raises(Unauthorized):
        botmod.TelegramBot("3100:revoked")
    assert client_threads() == before
