"""The session's callbacks on the operator bot's dispatcher, beside the bot's own handlers,
added when the session starts and taken off when it ends (the bot module outlives a session).

The bot stops other chats' updates before its handlers (group -1), so the groups after it see
only the operator's; the group before it sees every update.
"""
from typing import TYPE_CHECKING, List, Tuple

from telegram import Update
from telegram.ext import TypeHandler

if TYPE_CHECKING:
    from telegram.ext import Dispatcher, Handler

    from zandor_trader.chat import ChatLog, RequestIntake, SessionCommands
    from zandor_trader.plugins.telegram.bot import TelegramBot

Hooks = List[Tuple["Handler", int]]  # (handler, group) as added to the dispatcher


def dispatcher(bot: "TelegramBot") -> "Dispatcher":
    # The library sets Updater.dispatcher in its constructor in a way mypy cannot type.
    return bot.updater.dispatcher  # type: ignore[has-type]


def hook_session(bot: "TelegramBot", chat_id: int, chat: "ChatLog", intake: "RequestIntake",
                 commands: "SessionCommands") -> Hooks:
    """The conversation recorded, each update's request taken for the engine, and the
    session's own answers (unknown commands, /help's list, hints) after the bot's replies."""

    def dispatched(update, context):
        chat.sync()  # the bot's own replies, before the engine's answers
        intake.on_dispatched(update, context)

    def from_operator(update, context):
        if getattr(update.effective_chat, "id", None) == chat_id:
            chat.operator_update(update, context)

    hooks: Hooks = [(TypeHandler(Update, from_operator), -2),
                    (TypeHandler(Update, dispatched), 1),  # after the bot's
                    (TypeHandler(Update, commands.on_update), 2)]
    for handler, group in hooks:
        dispatcher(bot).add_handler(handler, group=group)
    return hooks


def unhook(bot: "TelegramBot", hooks: Hooks) -> None:
    for handler, group in hooks:
        dispatcher(bot).remove_handler(handler, group=group)
