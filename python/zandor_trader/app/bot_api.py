"""Which Bot API the operator bot talks to: the one configured with a bot token (Telegram, or
the base URL set), or else a local Bot API server started for the session, whose chat the
terminal can post to."""
from typing import TYPE_CHECKING, NamedTuple, Optional

from zandor_trader.app import bot_loader
from zandor_trader.app.settings import Settings

if TYPE_CHECKING:
    from botapi import BotApiServer

LOCAL_CHAT_ID = 1  # the operator's chat on the local server when the settings name none
# The local server's bot: any well-formed token does, it never leaves this machine.
LOCAL_TOKEN = "123456789:local-placeholder-token"


class BotApi(NamedTuple):
    token: str
    chat_id: int  # the operator's chat
    base_url: Optional[str]  # None: Telegram itself
    server: Optional["BotApiServer"]  # the local server started here, running


def choose_bot_api(s: Settings) -> BotApi:
    """With a token configured: that Bot API; without: a local server, started here."""
    if s.telegram_token:
        if s.telegram_chat_id is None:
            raise ValueError("a bot token is configured but not the operator's chat: set "
                             "ZANDOR_TELEGRAM_CHAT_ID or 'telegram_chat_id' in the "
                             "settings file")
        where = s.telegram_base_url or "Telegram"
        print(f"Operator chat {s.telegram_chat_id} on {where}: commands come from that "
              f"chat", flush=True)
        return BotApi(s.telegram_token.reveal(), s.telegram_chat_id, s.telegram_base_url, None)
    try:
        from botapi import BotApiServer
    except ImportError:
        raise ValueError("no bot token is configured and there is no local Bot API server "
                         "here: set ZANDOR_TELEGRAM_TOKEN and ZANDOR_TELEGRAM_CHAT_ID") from None

    chat_id = s.telegram_chat_id if s.telegram_chat_id is not None else LOCAL_CHAT_ID
    port = s.bot_port
    if bot_loader.is_loaded():  # a bot loaded by an earlier session reads this address
        port = _port_of(bot_loader.loaded_base_url()) or port
    server = BotApiServer(token=LOCAL_TOKEN, port=port).start()
    print(f"Operator chat {chat_id} on the local Bot API server {server.base_url}"
          f" (control {server.control_url})", flush=True)
    return BotApi(LOCAL_TOKEN, chat_id, server.base_url, server)


def _port_of(url: Optional[str]) -> Optional[int]:
    from urllib.parse import urlsplit

    try:
        return urlsplit(url).port if url else None
    except ValueError:
        return None
