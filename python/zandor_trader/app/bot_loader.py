"""Loading the operator bot for a session: its settings are handed to the host's
configuration module just before the bot module is imported (which builds the bot and
starts polling); a later session in the same process builds a new bot the same way.
"""
import contextlib
import importlib
import os
import sys
import threading
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from zandor_trader.plugins.telegram.bot import TelegramBot

MODULE = "zandor_trader.plugins.telegram.bot"
_PROXY_VARIABLES = ("HTTPS_PROXY", "https_proxy")
_lock = threading.Lock()  # one load at a time: the proxy variables are put back after each


def loaded_base_url() -> Optional[str]:
    """The Bot API base address of the bot module already loaded, or None."""
    module = sys.modules.get(MODULE)
    return getattr(module, "TELEGRAM_BASE_URL", None) if module is not None else None


def loaded_token() -> Optional[str]:
    """The bot token of the bot module already loaded, or None."""
    module = sys.modules.get(MODULE)
    return getattr(module, "TELEGRAM_TOKEN", None) if module is not None else None


def is_loaded() -> bool:
    return MODULE in sys.modules


@contextlib.contextmanager
def _without_proxy(bypass: bool):
    """The client takes HTTPS_PROXY when it is built; a local server is not behind it."""
    saved = {n: os.environ.pop(n) for n in _PROXY_VARIABLES if bypass and n in os.environ}
    try:
        yield
    finally:
        os.environ.update(saved)


def load_bot(token: str, chat_id: int, base_url: Optional[str],
             local: bool = False) -> "TelegramBot":
    """A running TelegramBot for `token`, serving `chat_id`, talking to `base_url` (None:
    Telegram itself); `local`: the server is on this machine, not behind a proxy.

    The module reads its settings once, when it loads: a later session in this process gets
    a new bot built by the module's class with those same settings, and must use the same
    ones (a new process is needed for others)."""
    import zandor_trader_config

    with _lock, _without_proxy(local):
        module = sys.modules.get(MODULE)
        if module is None:
            zandor_trader_config.configure(token, chat_id, base_url)
            module = importlib.import_module(MODULE)
            return module.bot
        loaded = (module.TELEGRAM_TOKEN, module.TELEGRAM_CHAT_ID, module.TELEGRAM_BASE_URL)
        if loaded != (token, chat_id, base_url):
            raise RuntimeError("the operator bot was loaded in this process with other "
                               "Telegram settings; run this session in a new process")
        if module.bot.updater.running:
            return module.bot
        setattr(module, "bot", module.TelegramBot(token=token))  # the module's own global
        return module.bot
