"""A local stand-in for the Telegram Bot API, for tests and local runs of the operator bot.

It answers what python-telegram-bot 13 needs to poll and reply (getMe, deleteWebhook,
long-polling getUpdates, sendMessage, sendPhoto, editMessageText, editMessageReplyMarkup,
answerCallbackQuery) at ``http://127.0.0.1:<port>/bot<token>/<method>``, keeps one mailbox per
token, and lets a test (or another process, over HTTP with the control token) play the
operator: post and edit messages, press the buttons of the bot's inline keyboards, and read,
in order, the messages the bot sent as they stand after its edits (the newest ones are kept;
`sent(after=n)` gives only what came after the n-th), the photos and the answers to presses.
It can also play Telegram's flood control (`FloodLimit`).

    with BotApiServer() as server:     # a random bot token: server.token
        os.environ["ZANDOR_TELEGRAM_BASE_URL"] = server.base_url
        ...
        server.post_message("/orders -a 5", chat_id=42)
        reply = server.wait_sent(1)
"""
from .callbacks import CallbackAnswer
from .flood import FloodLimit
from .mailbox import MAX_MESSAGE_LENGTH, message_length
from .markup import Button
from .messages import SentMessage, Version
from .photos import Photo
from .remote import RemoteServer
from .server import BotApiServer
from .tokens import random_bot_token, random_control_token

__all__ = ["BotApiServer", "RemoteServer", "FloodLimit", "SentMessage", "Version", "Button",
           "Photo", "CallbackAnswer", "MAX_MESSAGE_LENGTH", "message_length",
           "random_bot_token", "random_control_token"]
