"""The host's settings that the operator bot reads when it loads.

    TELEGRAM_TOKEN      the bot's token ("<digits>:<rest>")
    TELEGRAM_CHAT_ID    the operator's chat id (integer), or None
    TELEGRAM_BASE_URL   the Bot API base address, or None for Telegram itself

Importing this module reads nothing. A host sets the values with `configure()` just before
it loads the bot. A value not set is read when first asked for, each time afresh, from the
environment (ZANDOR_TELEGRAM_TOKEN, ZANDOR_TELEGRAM_CHAT_ID, ZANDOR_TELEGRAM_BASE_URL) or
from the INI file (section ``[zandor_trader]``, keys ``telegram_token``, ``telegram_chat_id``,
``telegram_base_url``) named by ``ZANDOR_TRADER_CONFIG``, or ``zandor_trader.ini`` in the
working directory. Environment variables win over the file.
"""
import configparser
import os

# A well-formed placeholder, so that a bot without a configured token still builds its client.
PLACEHOLDER_TOKEN = "123456789:local-placeholder-token"
_FILE_KEYS = {
    "TELEGRAM_TOKEN": ("ZANDOR_TELEGRAM_TOKEN", "telegram_token"),
    "TELEGRAM_CHAT_ID": ("ZANDOR_TELEGRAM_CHAT_ID", "telegram_chat_id"),
    "TELEGRAM_BASE_URL": ("ZANDOR_TELEGRAM_BASE_URL", "telegram_base_url"),
}
# A reload forgets what configure() set: the values are read afresh again.
for _name in _FILE_KEYS:
    globals().pop(_name, None)


def configure(token: str, chat_id, base_url) -> None:
    """Sets the values the bot will read when it loads (None for chat and base URL: unset)."""
    globals().update(TELEGRAM_TOKEN=token, TELEGRAM_CHAT_ID=_chat_id(chat_id),
                     TELEGRAM_BASE_URL=base_url)


def _read_file():
    path = os.environ.get("ZANDOR_TRADER_CONFIG") or "zandor_trader.ini"
    parser = configparser.ConfigParser(interpolation=None)
    try:
        if not parser.read(path):
            return {}
    except configparser.Error as exc:  # named by its line: the line may hold a secret
        errors = getattr(exc, "errors", None) or [(getattr(exc, "lineno", "?"), "")]
        raise ValueError(f"the settings file {path} is malformed at line {errors[0][0]}") \
            from None
    return dict(parser["zandor_trader"]) if parser.has_section("zandor_trader") else {}


def _chat_id(value):
    if value is None or isinstance(value, int):
        return value
    try:
        return int(value)
    except ValueError:
        raise ValueError(f"ZANDOR_TELEGRAM_CHAT_ID must be an integer, not {value!r}") from None


def __getattr__(name):
    if name not in _FILE_KEYS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    variable, key = _FILE_KEYS[name]
    value = os.environ.get(variable)
    if value in (None, ""):
        value = _read_file().get(key)
    value = None if value in (None, "") else value
    if name == "TELEGRAM_TOKEN":
        return value or PLACEHOLDER_TOKEN
    if name == "TELEGRAM_CHAT_ID":
        return _chat_id(value)
    return value
