"""Which Bot API the operator bot talks to: the one configured with a bot token (Telegram, or
the base URL set), or else a local Bot API server started for the session, whose chat the
terminal can post to.

The local server's bot token is random for each session (the same for a later session in the
process, whose bot keeps the token it was loaded with). Its control interface, through which
another process can play the operator, is served only when the settings name a port
(`--bot-port`): every control request must carry the control token, random too, written to a
file that only the user can read, whose path is printed.
"""
from typing import TYPE_CHECKING, List, NamedTuple, Optional

from zandor_trader.app import bot_loader
from zandor_trader.app.settings import Settings

if TYPE_CHECKING:
    from botapi import BotApiServer

LOCAL_CHAT_ID = 1  # the operator's chat on the local server when the settings name none


class BotApi(NamedTuple):
    token: str
    chat_id: int  # the operator's chat
    base_url: Optional[str]  # None: Telegram itself
    server: Optional["BotApiServer"]  # the local server started here, running

    def tokens(self) -> List[str]:
        """What must never be printed: the bot's token, and the control token."""
        control = self.server.control_token if self.server is not None else None
        return [t for t in (self.token, control) if t]


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
        from botapi import BotApiServer, random_bot_token
    except ImportError:
        raise ValueError("no bot token is configured and there is no local Bot API server "
                         "here: set ZANDOR_TELEGRAM_TOKEN and ZANDOR_TELEGRAM_CHAT_ID") from None

    chat_id = s.telegram_chat_id if s.telegram_chat_id is not None else LOCAL_CHAT_ID
    control = s.bot_port is not None
    port, token = s.bot_port or 0, random_bot_token()
    if bot_loader.is_loaded():  # a bot loaded by an earlier session keeps its address and token
        port = _port_of(bot_loader.loaded_base_url()) or port
        token = bot_loader.loaded_token() or token
    server = BotApiServer(token=token, port=port, control=control).start()
    try:
        where = f" (control {server.control_url}, token in {server.write_control_token()})" \
            if control else ""
    except BaseException:
        server.stop()
        raise
    print(f"Operator chat {chat_id} on the local Bot API server {server.base_url}{where}",
          flush=True)
    return BotApi(token, chat_id, server.base_url, server)


def _port_of(url: Optional[str]) -> Optional[int]:
    from urllib.parse import urlsplit

    try:
        return urlsplit(url).port if url else None
    except ValueError:
        return None
