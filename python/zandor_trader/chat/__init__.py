"""The operator's chat: what comes from the bot and what goes back to it.

Each operator update becomes one request for the engine (`intake`); the session answers the
commands nobody else handles and the bot's help with its own lines (`commands`), and reads
the drills of `/sim` (`sim_command`) for the session to run; the engine's answers go out in
order on a thread of their own, cut into the pieces the bot sends as one message each and
each piece sent once (`outbox`, `pieces`); the engine's questions go with Confirm and Cancel
buttons (`buttons`), and the buttons pressed come back as requests (`presses`); whether the
Bot API can be reached is followed and told once per outage (`link`); what the bot sent
(`sent_log`) and the whole conversation as the session shows it (`chat_log`) are recorded.

It depends on trading (the request type) and nothing above it; the console shows its
conversation.
"""
from zandor_trader.chat.chat_log import BOT, OPERATOR, ChatLog
from zandor_trader.chat.commands import SessionCommands
from zandor_trader.chat.intake import RequestIntake, take_requests
from zandor_trader.chat.link import ChatLink
from zandor_trader.chat.outbox import Outbox
from zandor_trader.chat.sent_log import Sent, SentLog

__all__ = ["BOT", "OPERATOR", "ChatLink", "ChatLog", "Outbox", "RequestIntake", "Sent",
           "SentLog", "SessionCommands", "take_requests"]
