"""The bot module under test, polling a local Bot API server for the whole session.

The module builds its bot when first imported, from the settings read at that moment, so
the session fixture starts the server and sets the environment before the import; it
closes the bot at the end and checks that no polling thread is left.
"""
import datetime
import importlib
import os
import re
import sys
import threading

import pytest

from botapi import BotApiServer

TOKEN = "1000:operator-bot"
OPERATOR = 4242  # the configured operator chat
STRANGER = 777
MODULE = "zandor_trader.plugins.telegram.bot"

INITIAL = {
    "zandor_trader_status": "Running",
    "get_balance": False,
    "get_positions": False,
    "get_orders": False,
    "active_orders": False,
    "num_orders_displayed": 1,
    "get_deals": False,
    "num_deals_displayed": 1,
    "cancel_order": False,
    "cancel_order_id": None,
    "gateway_name": None,
    "cancel_orders": False,
    "send_order": False,
    "order_string": "",
    "close_positions": False,
    "close_positions_gateway_name": None,
}

# Pacing limits that pace nothing: the server plays no flood limit unless a test asks.
UNPACED = {"chat_rate": 0, "total_rate": 0}

# Messages the operator sent while the bot was down; it must not act on them.
STALE = ["/stop", "/send_order ES,1,l,o,m,GW,None,None"]


def bot_threads(bot_id=None):
    prefix = "Bot:" if bot_id is None else f"Bot:{bot_id}:"
    return [t for t in threading.enumerate() if t.name.startswith(prefix)]


def bot_environment(server, **extra):
    """The environment of a process whose bot polls `server`."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ZANDOR_") and k.lower() != "https_proxy"}
    env.update(ZANDOR_TELEGRAM_BASE_URL=server.base_url, ZANDOR_TELEGRAM_TOKEN=TOKEN,
               ZANDOR_TELEGRAM_CHAT_ID=str(OPERATOR), ZANDOR_TRADER_CONFIG=os.devnull)
    env.update(extra)
    return env


@pytest.fixture(scope="session")
def server():
    with BotApiServer(token=TOKEN) as srv:
        yield srv


@pytest.fixture(scope="session")
def botmod(server):
    assert MODULE not in sys.modules, "the bot module was loaded before its server was up"
    saved, env = dict(os.environ), bot_environment(server)
    os.environ.clear()
    os.environ.update(env)
    import zandor_trader_config
    importlib.reload(zandor_trader_config)
    for text in STALE:
        server.post_message(text, OPERATOR)
    module = importlib.import_module(MODULE)
    module.bot.pace_sends(**UNPACED)
    server.wait_polling()
    yield module
    module.bot.close()
    os.environ.clear()
    os.environ.update(saved)
    importlib.reload(zandor_trader_config)
    assert bot_threads() == []


@pytest.fixture
def bot(botmod):
    """The module's bot with every field back at its initial value, as the engine would
    leave it after serving everything."""
    for name, value in INITIAL.items():
        setattr(botmod.bot, name, value)
    return botmod.bot


@pytest.fixture
def flood(bot, server):
    """Sets the server's flood limit for the test; the bot starts unpaced and is left so,
    the server without a limit or a delay."""
    yield server.set_flood_limit
    server.set_flood_limit(None)
    server.set_send_delay(0)
    bot.pace_sends(**UNPACED)


def fields(bot):
    return {name: getattr(bot, name) for name in INITIAL}


class Chat:
    """The operator's (or a stranger's) side of one bot's chat."""

    def __init__(self, server, token=TOKEN):
        self.server = server
        self.token = token
        self._marks = 0

    def sent(self, after=0):
        return self.server.sent(token=self.token, after=after)

    def say(self, text, chat_id=OPERATOR, **kwargs):
        """Posts `text` and returns every message the bot sent in answer. A marker message
        from the operator follows it; the dispatcher handles updates one after another, so
        once the marker's echo is out, so is every answer to `text`."""
        start = self.server.sent_count(token=self.token)
        self.server.post_message(text, chat_id, token=self.token, **kwargs)
        self._marks += 1
        marker = f"marker {self._marks}"
        self.server.post_message(marker, OPERATOR, token=self.token)
        echo = f"[ECHO] {marker}"

        def answered():
            return any(m.text == echo for m in self.sent(start))

        assert self.server.wait_for(answered), f"no echo of {marker!r}: {self.sent(start)}"
        replies = self.sent(start)
        return replies[:[m.text for m in replies].index(echo)]

    def texts(self, text, **kwargs):
        """The texts answered in the operator's chat, each time stamp checked against the
        clock and shown as "[T]"."""
        before = datetime.datetime.now()
        replies = self.say(text, **kwargs)
        after = datetime.datetime.now()
        assert all(m.chat_id == OPERATOR for m in replies)
        return [_unstamp(m.text, before, after) for m in replies]


@pytest.fixture
def chat(server, botmod):
    return Chat(server)


_STAMPED = re.compile(r"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)(\.\d{6})?\](.*)", re.S)


def _unstamp(text, before, after):
    match = _STAMPED.fullmatch(text)
    if not match:
        return text
    stamp = datetime.datetime.fromisoformat(match.group(1) + (match.group(2) or ""))
    assert before <= stamp <= after, text
    assert (stamp.microsecond == 0) == (match.group(2) is None), text
    return "[T]" + match.group(3)
