"""The session's own lines in the chat, beside the bot's: each command's syntax after the
bot's help text, a hint when an order string came with spaces, and an answer to a command
that nothing handles (the bot module leaves those unanswered).

`SessionCommands.on_update` is a dispatcher callback of a group after the bot's handlers; its
answers go through `answer` (the engine's queue), so that they keep their turn among the
answers to earlier commands. The session's own commands that act (`/sim`, on the simulated
broker) go to the handler the session gives.
"""
import re
from typing import Callable, Optional, Sequence

from zandor_trader.chat import sim_command

EXAMPLE_ORDER = "EPZ5,2,l,o,m,CQG,None,None"
# (command, syntax, what it does, one example), in the order of the bot's help text.
COMMANDS = (
    ("stop", "/stop", "end the session", "/stop"),
    ("balance", "/balance", "the account's balance", "/balance"),
    ("positions", "/positions", "the open positions", "/positions"),
    ("orders", "/orders [-a] [n]", "the newest n orders (-a: only active ones)", "/orders -a 5"),
    ("deals", "/deals [n]", "the newest n deals", "/deals 10"),
    ("cancel_order", "/cancel_order <id> <gateway>",
     "cancel an order; the id's first characters are enough when no other id starts so",
     "/cancel_order F3CCA1DE CQG"),
    ("cancel_orders", "/cancel_orders", "cancel every active order", "/cancel_orders"),
    ("send_order", "/send_order <symbol>,<quantity>,<l|s>,<o|c>,<m|l|s>,<gateway>,<price>,<stop>",
     "place an order: one word, no spaces; None where a price does not apply",
     "/send_order EPZ5,1,s,o,l,CQG,6900.25,None"),
    ("close_positions", "/close_positions [gateway]", "close every open position",
     "/close_positions CQG"),
    ("help", "/help", "the commands", "/help"),
    ("sim", sim_command.SYNTAX, "rehearse a failure on the simulated broker; SECONDS are "
     "real seconds (the simulated clock runs --speed times faster)", sim_command.EXAMPLE),
)
KNOWN = frozenset(command for command, *_ in COMMANDS)
COMMAND = re.compile(r"^/(\w+)(?:@\w+)?")


def syntax_text() -> str:
    lines = ["Commands, each with an example:"]
    for _, syntax, does, example in COMMANDS:
        lines += [f"{syntax}: {does}", f"    e.g. {example}"]
    return "\n".join(lines)


def spaced_order_hint(args: Sequence[str]) -> str:
    joined = "".join(args)
    fix = joined if len(joined.split(",")) == 8 else EXAMPLE_ORDER
    return f"The eight fields of an order are written without spaces: /send_order {fix}"


def unknown_text(word: str) -> str:
    return f"Unknown command /{word}: /help lists the commands."


def command_word(message) -> Optional[str]:
    """The command a message starts with, as written (without a bot name), or None."""
    text = getattr(message, "text", None) or ""
    entities = getattr(message, "entities", None)
    if entities:  # as the client library sees a command: an entity at the very start
        first = entities[0]
        if getattr(first, "type", None) != "bot_command" or getattr(first, "offset", 0) != 0:
            return None
        return text[1:first.length].split("@")[0]
    match = COMMAND.match(text)
    return match[1] if match else None


class SessionCommands:
    """`sim(rest)` takes a /sim command's text after the command (None: /sim is refused, the
    broker is a real one)."""

    def __init__(self, answer: Callable[[str], None],
                 sim: Optional[Callable[[str], None]] = None):
        self.answer = answer
        self.sim = sim

    def reply_for(self, message, args: Sequence[str]) -> Optional[str]:
        word = command_word(message)
        if word is None:
            return None
        command = word.lower()  # the client library matches commands in any letter case
        if command not in KNOWN:
            return unknown_text(word)
        if command == "help":
            return syntax_text()
        if command == "sim":
            return sim_command.REFUSED
        if command == "send_order" and len(args) > 1:
            return spaced_order_hint(args)
        return None

    def on_update(self, update, context=None) -> None:
        """Dispatcher callback (the operator's updates only)."""
        message = getattr(update, "effective_message", None)
        text = getattr(message, "text", None) or ""
        if self.sim is not None and (command_word(message) or "").lower() == "sim":
            command_and_rest = text.split(None, 1)
            self.sim(command_and_rest[1] if len(command_and_rest) > 1 else "")
            return
        reply = self.reply_for(message, text.split()[1:])  # the words as the library splits
        if reply is not None:
            self.answer(reply)
