"""The session's fast lane: the short order commands (/buy, /sell, /cancel, /replace) taken as
requests for the engine, which serves them beside the bot's; and the buttons of the questions
the engine asks (the stop, a flatten, a large order), sent with Confirm and Cancel through the
outbox and pressed in the operator's chat."""
from typing import TYPE_CHECKING, Callable, Dict, Sequence

if TYPE_CHECKING:
    from zandor_trader.chat import ChatLog, Outbox
    from zandor_trader.chat.presses import Presses
    from zandor_trader.plugins.telegram.bot import TelegramBot
    from zandor_trader.trading import Engine, Request
    from zandor_trader.trading.fast_lane import FastLane


def fast_lane_commands(take: Callable[["Request"], None]
                       ) -> Dict[str, Callable[[Sequence[str]], None]]:
    """The short commands as the session's own: each a request for the engine (`take`: the
    intake's way in, which numbers them), served in turn."""
    from zandor_trader.trading import Request
    from zandor_trader.trading.fast_lane import FastLane

    def command(kind: str) -> Callable[[Sequence[str]], None]:
        def taken(words: Sequence[str]) -> None:
            take(Request(kind, {"args": tuple(words)}, text=" ".join((f"/{kind}", *words)),
                         args=tuple(words)))
        return taken

    return {kind: command(kind) for kind in FastLane.KINDS}


def start_fast_lane(engine: "Engine", gateway) -> "FastLane":
    """The engine serves the short commands, and asks before a flatten."""
    from zandor_trader.trading.fast_lane import FastLane

    lane = FastLane(engine).install()
    gateway.add_listener(lane.on_gateway_record)
    engine.orders.confirm_flatten = True
    return lane


def start_buttons(engine: "Engine", outbox: "Outbox", bot: "TelegramBot", chat_id: int,
                  chat: "ChatLog", take: Callable[["Request"], None],
                  redact: Callable[[str], str], log: Callable[[str], None],
                  before_send: Callable[[], object]) -> "Presses":
    """The engine's questions asked with buttons; returns what takes the presses (a
    dispatcher callback, `take`: the intake's way in)."""
    from zandor_trader.chat.buttons import ButtonOutlet
    from zandor_trader.chat.presses import Presses

    engine.questions.outlet = ButtonOutlet(outbox, bot, chat_id, redact, log, before_send)
    return Presses(chat_id, take, log, pressed=chat.operator_pressed)
