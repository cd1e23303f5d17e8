"""The session's callbacks on the operator bot's dispatcher, beside the bot's own handlers,
added when the session starts and taken off when it ends (the bot module outlives a session).

The bot stops other chats' updates before its handlers (group -1), so the groups after it see
only the operator's; the groups before it see every update. The first of them takes the
buttons pressed (which the bot would stop as updates that are not new messages).

While the session runs, its chat link is the dispatcher's only error handler: it prints each
library error as one line and an outage once (see chat.link); the error handlers the bot module
had are put back when the session ends.
"""
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from telegram import Update
from telegram.ext import TypeHandler

from zandor_trader.chat.link import QuietPolling

if TYPE_CHECKING:
    from telegram.ext import Dispatcher, Handler

    from zandor_trader.chat import ChatLink, ChatLog, RequestIntake, SessionCommands
    from zandor_trader.chat.presses import Presses
    from zandor_trader.plugins.telegram.bot import TelegramBot


@dataclass
class Hooks:
    """What this session added to the dispatcher, and what it took off meanwhile."""
    handlers: List[Tuple["Handler", int]] = field(default_factory=list)  # (handler, group)
    error_handlers: Dict[Any, Any] = field(default_factory=dict)  # the bot module's, put aside
    link: Optional["ChatLink"] = None
    quiet: Optional[QuietPolling] = None


def dispatcher(bot: "TelegramBot") -> "Dispatcher":
    # The library sets Updater.dispatcher in its constructor in a way mypy cannot type.
    return bot.updater.dispatcher  # type: ignore[has-type]


def hook_session(bot: "TelegramBot", chat_id: int, chat: "ChatLog", intake: "RequestIntake",
                 commands: "SessionCommands", link: Optional["ChatLink"] = None,
                 presses: Optional["Presses"] = None) -> Hooks:
    """The conversation recorded, each update's request taken for the engine, and the
    session's own answers (unknown commands, /help's list, hints) after the bot's replies;
    with a `link`, library errors told through it; with `presses`, the buttons pressed taken
    before anything else sees them."""

    def dispatched(update, context):
        chat.sync()  # the bot's own replies, before the engine's answers
        intake.on_dispatched(update, context)

    def from_operator(update, context):
        if getattr(update.effective_chat, "id", None) == chat_id:
            chat.operator_update(update, context)

    hooks = Hooks([(TypeHandler(Update, from_operator), -2),
                   (TypeHandler(Update, dispatched), 1),  # after the bot's
                   (TypeHandler(Update, commands.on_update), 2)])
    if presses is not None:
        hooks.handlers.insert(0, (TypeHandler(Update, presses.on_update), -3))
    own = dispatcher(bot)
    for handler, group in hooks.handlers:
        own.add_handler(handler, group=group)
    if link is not None:
        hooks.link = link
        hooks.error_handlers = dict(own.error_handlers)
        own.error_handlers.clear()
        own.add_error_handler(link.error_handler)
        hooks.quiet = QuietPolling().__enter__()
    return hooks


def unhook(bot: "TelegramBot", hooks: Hooks) -> None:
    own = dispatcher(bot)
    for handler, group in hooks.handlers:
        own.remove_handler(handler, group=group)
    if hooks.link is not None:
        own.remove_error_handler(hooks.link.error_handler)
        own.error_handlers.update(hooks.error_handlers)
    if hooks.quiet is not None:
        hooks.quiet.__exit__(None, None, None)
