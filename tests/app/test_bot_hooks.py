"""The session's callbacks on the bot's dispatcher: the conversation recorded in order, each
update's request taken, the session's own answers, and all of it taken off at the end."""
import datetime
import itertools
import types

from telegram import Chat, Message, MessageEntity, Update
from telegram.ext import TypeHandler

from zandor_trader.app.bot_hooks import hook_session, unhook
from zandor_trader.chat import ChatLog, RequestIntake, SessionCommands

from ..trading import fakes

OPERATOR_CHAT = 77
NUMBERS = itertools.count(1)


class Dispatcher:
    """Runs the handlers of each group in turn, as the client library's dispatcher does."""

    def __init__(self):
        self.groups = {}
        self.error_handlers = {}

    def add_error_handler(self, callback):
        self.error_handlers[callback] = False

    def remove_error_handler(self, callback):
        self.error_handlers.pop(callback, None)

    def add_handler(self, handler, group=0):
        self.groups.setdefault(group, []).append(handler)

    def remove_handler(self, handler, group=0):
        self.groups[group].remove(handler)

    def process(self, update):
        for group in sorted(self.groups):
            for handler in self.groups[group]:
                if handler.check_update(update):  # the first that takes it, per group
                    args = update.message.text.split()[1:]
                    handler.callback(update, types.SimpleNamespace(args=args))
                    break


def update(text, chat_id=OPERATOR_CHAT):
    n = next(NUMBERS)
    command = len(text.split()[0]) if text.startswith("/") else 0
    entities = [MessageEntity(MessageEntity.BOT_COMMAND, 0, command)] if command else []
    message = Message(n, datetime.datetime.now(), Chat(chat_id, Chat.PRIVATE), text=text,
                      entities=entities)
    return Update(n, message=message)


def test_the_hooks_record_the_conversation_take_requests_answer_and_come_off_again():
    bot, sent, taken, answered = fakes.Bot(), [], [], []
    bot.updater = types.SimpleNamespace(dispatcher=Dispatcher())

    def bots_own_handler(update, context):  # a usage text for "/deals x", a flag for "/deals 5"
        words = update.message.text.split()
        if words[0] == "/deals":
            if words[1:] == ["x"]:
                sent.append(types.SimpleNamespace(text="Usage: /deals [n]"))
            else:
                bot.get_deals, bot.num_deals_displayed = True, int(words[1])

    dispatcher = bot.updater.dispatcher
    dispatcher.add_handler(TypeHandler(Update, bots_own_handler), 0)
    chat = ChatLog(lambda seen: (sent[seen:], len(sent)))
    hooks = hook_session(bot, OPERATOR_CHAT, chat, RequestIntake(bot, taken.append),
                         SessionCommands(answered.append))

    dispatcher.process(update("/deals x"))
    # The bot's own reply is in the conversation at once, though the engine adds nothing.
    assert chat.entries() == [("operator", "/deals x"), ("bot", "Usage: /deals [n]")]
    dispatcher.process(update("hello", chat_id=99))  # another chat: not the conversation
    dispatcher.process(update("/deals 5"))
    dispatcher.process(update("/balanse"))
    assert [e for e in chat.entries() if e[0] == "operator"] == [
        ("operator", "/deals x"), ("operator", "/deals 5"), ("operator", "/balanse")]
    assert [(r.kind, r.params, r.text) for r in taken] == [
        ("get_deals", {"num_deals_displayed": 5}, "/deals 5")]
    assert answered == ["Unknown command /balanse: /help lists the commands."]

    unhook(bot, hooks)
    assert {group: len(handlers) for group, handlers in dispatcher.groups.items()} == {
        -2: 0, 0: 1, 1: 0, 2: 0}


def test_while_the_session_runs_its_chat_link_is_the_only_error_handler():
    """Errors print one line each and an outage once (the link); the bot module's own error
    handler is back when the session ends."""
    from zandor_trader.chat import ChatLink

    bot = fakes.Bot()
    bot.updater = types.SimpleNamespace(dispatcher=Dispatcher())
    dispatcher = bot.updater.dispatcher
    modules_own = lambda update, context: None  # noqa: E731
    dispatcher.add_error_handler(modules_own)
    link = ChatLink([].append)
    chat = ChatLog(lambda seen: ([], 0))
    hooks = hook_session(bot, OPERATOR_CHAT, chat, RequestIntake(bot, [].append),
                         SessionCommands([].append), link)
    assert list(dispatcher.error_handlers) == [link.error_handler]
    unhook(bot, hooks)
    assert list(dispatcher.error_handlers) == [modules_own]
