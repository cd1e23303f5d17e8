"""The session's own lines in the chat, beside the bot's: each command's syntax after the
bot's help text, a hint when an order string came with spaces, and an answer to a command
that nothing handles (the bot module leaves those unanswered); and the session's own commands
(/flatten, /risk, /halt, /resume, /pnl), which the bot module does not know, turned into
requests (others, /chart and the short order commands, by what `own` maps them to).

`SessionCommands.on_update` is a dispatcher callback of a group after the bot's handlers; its
answers go through `answer` and its requests through `submit` (both the engine's queue), so
that they keep their turn among the answers to earlier commands. The drills of `/sim` (on the
simulated broker) go to the handler the session gives.
"""
import re
from typing import Callable, Mapping, Optional, Sequence

from zandor_trader.chat import sim_command
from zandor_trader.trading.requests import Request

EXAMPLE_ORDER = "EPZ5,2,l,o,m,CQG,None,None"
# (command, syntax, what it does, one example), in the order of the bot's help text.
COMMANDS = (
    ("stop", "/stop", "end the session", "/stop"),
    ("balance", "/balance", "the account's balance", "/balance"),
    ("positions", "/positions", "the open positions, each with its last price and open P&L",
     "/positions"),
    ("orders", "/orders [-a] [n]", "the newest n orders (-a: only active ones)", "/orders -a 5"),
    ("deals", "/deals [n]", "the newest n deals", "/deals 10"),
    ("cancel_order", "/cancel_order <id> <gateway>",
     "cancel an order; the id's first characters are enough when no other id starts so",
     "/cancel_order F3CCA1DE CQG"),
    ("cancel_orders", "/cancel_orders", "cancel every active order", "/cancel_orders"),
    ("send_order", "/send_order <symbol>,<quantity>,<l|s>,<o|c>,<m|l|s>,<gateway>,<price>,<stop>",
     "place an order: one word, no spaces; None where a price does not apply",
     "/send_order EPZ5,1,s,o,l,CQG,6900.25,None"),
    ("buy", "/buy <symbol> <quantity> [@<price> | stop <price>]",
     "buy at market, with a limit (@) or a stop; it closes when it only reduces a position",
     "/buy ES 2 @6850.25"),
    ("sell", "/sell <symbol> <quantity> [@<price> | stop <price>]", "sell, likewise",
     "/sell EPZ5 1 stop 6840"),
    ("cancel", "/cancel <id>", "cancel an order (the gateway implied; the id's first "
     "characters are enough)", "/cancel F3CCA1DE"),
    ("replace", "/replace <id> <price>",
     "cancel an order, then place it again at the new price once the cancel is confirmed",
     "/replace F3CCA1DE 6851.50"),
    ("close_positions", "/close_positions [gateway]",
     "cancel every working order, then close every open position", "/close_positions CQG"),
    ("flatten", "/flatten [symbol]",
     "cancel the working orders, then close the position, of one instrument (or of all)",
     "/flatten EPZ5"),
    ("risk", "/risk", "the risk limits, what is used of them, and whether trading is halted",
     "/risk"),
    ("halt", "/halt", "refuse every order that opens or increases risk, until /resume",
     "/halt"),
    ("resume", "/resume", "take orders that open risk again", "/resume"),
    ("pnl", "/pnl [today|week|N]", "realized P&L by trading day and instrument, from the journal",
     "/pnl week"),
    ("chart", "/chart <symbol> [n]",
     "a picture of the last n one-minute bars (default 60) with your fills and working orders",
     "/chart ES 30"),
    ("help", "/help", "the commands", "/help"),
    ("sim", sim_command.SYNTAX, "rehearse a failure on the simulated broker; SECONDS are "
     "real seconds (the simulated clock runs --speed times faster)", sim_command.EXAMPLE),
)
KNOWN = frozenset(command for command, *_ in COMMANDS)
# The session's own commands, served by the engine: the most words each takes after it (None:
# the words are ignored, as the bot's commands without arguments do).
REQUESTS = {"flatten": 1, "risk": None, "halt": None, "resume": None, "pnl": 1}


def too_many(command: str, args: Sequence[str]) -> bool:
    most = REQUESTS[command]
    return most is not None and len(args) > most
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


def usage_text(command: str) -> str:
    syntax, example = next((c[1], c[3]) for c in COMMANDS if c[0] == command)
    return f"Usage: {syntax}, e.g. {example}"


class SessionCommands:
    """`submit` takes the requests of the session's own trading commands; `own` maps the
    commands the session serves itself to what takes their words; `sim(rest)` takes a /sim
    command's text after the command (None: /sim is refused, the broker is a real one)."""

    def __init__(self, answer: Callable[[str], None],
                 submit: Optional[Callable[[Request], None]] = None,
                 own: Optional[Mapping[str, Callable[[Sequence[str]], None]]] = None,
                 sim: Optional[Callable[[str], None]] = None):
        self.answer = answer
        self.submit = submit
        self.own = dict(own or {})
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
        if command in REQUESTS and (too_many(command, args) or self.submit is None):
            return usage_text(command) if self.submit is not None else \
                f"/{command} is not served in this session."
        return None

    def request_for(self, message, args: Sequence[str]) -> Optional[Request]:
        """The session's own command in `message` as a request for the engine, or None."""
        word = command_word(message)
        command = word.lower() if word else None
        if command not in REQUESTS or too_many(command, args):
            return None
        params = ({"symbol": args[0] if args else None} if command == "flatten"
                  else {"args": tuple(args)} if command == "pnl" else {})
        return Request(command, params, text=getattr(message, "text", None) or "",
                       args=tuple(args))

    def on_update(self, update, context=None) -> None:
        """Dispatcher callback (the operator's updates only)."""
        message = getattr(update, "effective_message", None)
        text = getattr(message, "text", None) or ""
        command = (command_word(message) or "").lower()
        if self.sim is not None and command == "sim":
            command_and_rest = text.split(None, 1)
            self.sim(command_and_rest[1] if len(command_and_rest) > 1 else "")
            return
        words = text.split()[1:]  # as the library splits
        serve = self.own.get(command)
        if serve is not None:
            serve(words)
            return
        reply = self.reply_for(message, words)
        if reply is not None:
            self.answer(reply)
            return
        request = self.request_for(message, words)
        if request is not None and self.submit is not None:
            self.submit(request)
