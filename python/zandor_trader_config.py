"""Settings of the host application, read once when first imported.

Each value can be set without editing this file, by an environment variable or by an INI
file (section ``[zandor_trader]``) named by ``ZANDOR_TRADER_CONFIG``, or ``zandor_trader.ini``
in the working directory. Environment variables win over the file.

    ZANDOR_TELEGRAM_TOKEN      the bot's token ("<digits>:<rest>")
    ZANDOR_TELEGRAM_CHAT_ID    the operator's chat id (integer); unset: no operator chat
    ZANDOR_TELEGRAM_BASE_URL   Bot API base address, e.g. http://127.0.0.1:8081/bot;
                               unset: the bot talks to Telegram itself
"""
import configparser
import os

_FILE_KEYS = {
    "ZANDOR_TELEGRAM_TOKEN": "telegram_token",
    "ZANDOR_TELEGRAM_CHAT_ID": "telegram_chat_id",
    "ZANDOR_TELEGRAM_BASE_URL": "telegram_base_url",
}


def _read_file():
    path = os.environ.get("ZANDOR_TRADER_CONFIG") or "zandor_trader.ini"
    parser = configparser.ConfigParser()
    if not parser.read(path):
        return {}
    return dict(parser["zandor_trader"]) if parser.has_section("zandor_trader") else {}


def _setting(env_name, from_file, default=None):
    value = os.environ.get(env_name)
    if value is None:
        value = from_file.get(_FILE_KEYS[env_name])
    return default if value in (None, "") else value


def _chat_id(value):
    if value is None:
        return None
    try:
        return int(value)
    except ValueError:
        raise ValueError(f"ZANDOR_TELEGRAM_CHAT_ID must be an integer, not {value!r}") from None


_file = _read_file()
# A well-formed placeholder, so that a session without a bot token still builds its client.
TELEGRAM_TOKEN = _setting("ZANDOR_TELEGRAM_TOKEN", _file, "123456789:local-placeholder-token")
TELEGRAM_CHAT_ID = _chat_id(_setting("ZANDOR_TELEGRAM_CHAT_ID", _file))
TELEGRAM_BASE_URL = _setting("ZANDOR_TELEGRAM_BASE_URL", _file)
