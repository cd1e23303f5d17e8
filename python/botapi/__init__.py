"""A local stand-in for the Telegram Bot API, for tests and local runs of the operator bot.

It answers what python-telegram-bot 13 needs to poll and reply (getMe, deleteWebhook,
long-polling getUpdates, sendMessage) at ``http://127.0.0.1:<port>/bot<token>/<method>``,
keeps one mailbox per token, and lets a test (or another process, over HTTP) play the
operator: post messages and read, in order, the messages the bot sent (the newest ones are
kept; `sent(after=n)` gives only what came after the n-th). It can also play Telegram's flood
control (`FloodLimit`).

    with BotApiServer() as server:
        os.environ["ZANDOR_TELEGRAM_BASE_URL"] = server.base_url
        ...
        server.post_message("/orders -a 5", chat_id=42, token=token)
        reply = server.wait_sent(1, token=token)
"""
from .flood import FloodLimit
from .mailbox import MAX_MESSAGE_LENGTH, SentMessage, message_length
from .server import BotApiServer
from .remote import RemoteServer

__all__ = ["BotApiServer", "RemoteServer", "FloodLimit", "SentMessage", "MAX_MESSAGE_LENGTH",
           "message_length"]
