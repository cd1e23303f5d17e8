"""Turning each operator update into one request object, taken where its fields were written.

The bot's command handlers run on the client library's dispatch thread, one update after
another; each raises a flag on the bot and writes its parameters beside it. The intake runs on
that same thread right after the bot's handlers (a later dispatcher group), so it always finds
the fields of exactly the update just handled, whole: it lowers the flag, reads the fields and
hands one `Request` to the engine's queue. The engine never reads the bot's fields itself, so
a second command cannot overwrite the first before it is taken, and requests keep the order in
which the operator sent them.

When the session ends the intake closes first, before the engine marks the bot terminated (so
that mark is never taken for a /stop): from then on every command is still taken off the bot,
and answered at once through `when_closed` instead of going to the engine.
"""
import itertools
import threading
from dataclasses import replace
from typing import Any, Callable, Dict, List, Optional, Tuple

from zandor_trader.trading.requests import ANSWER, RUNNING, TERMINATED, Request

# The request flags; each with the fields that go with it.
FLAGS = (
    ("get_balance", ()),
    ("get_positions", ()),
    ("get_orders", ("active_orders", "num_orders_displayed")),
    ("get_deals", ("num_deals_displayed",)),
    ("cancel_order", ("cancel_order_id", "gateway_name")),
    ("cancel_orders", ()),
    ("send_order", ("order_string",)),
    ("close_positions", ("close_positions_gateway_name",)),
)
# Options that hold for the request they came with only: put back once it has been taken.
RESET_AFTER: Dict[str, Dict[str, object]] = {"get_orders": {"active_orders": False},
               "close_positions": {"close_positions_gateway_name": None}}


def take_requests(bot, stops: bool = True) -> List[Tuple[str, Dict[str, Any]]]:
    """Every raised request as (kind, params), its flag lowered and its fields read in the
    same step; a /stop last. A /stop is taken as well (unless `stops` is false: once the
    session ends, the status is the engine's mark): the status is put back to running, so
    that the next /stop is seen as a new request (the engine marks the bot terminated when it
    really ends)."""
    taken = []
    for flag, fields in FLAGS:
        if not getattr(bot, flag):
            continue
        setattr(bot, flag, False)
        taken.append((flag, {f: getattr(bot, f) for f in fields}))
        for name, value in RESET_AFTER.get(flag, {}).items():
            setattr(bot, name, value)
    if stops and bot.zandor_trader_status == TERMINATED:
        bot.zandor_trader_status = RUNNING
        taken.append(("stop", {}))
    return taken


class RequestIntake:
    """The dispatcher callback of the group after the bot's own: takes what the update asked
    for and hands each request to `submit` (the engine's queue), in order; once closed, to
    `when_closed` (which answers it).

    The bot stops updates from any chat but the operator's before its handlers and before
    this group, so whatever reaches `on_dispatched` is the operator's.
    """

    def __init__(self, bot, submit: Callable[[Request], None],
                 when_closed: Optional[Callable[[Request], None]] = None):
        self.bot = bot
        self.submit = submit
        self.when_closed = when_closed
        self._lock = threading.Lock()  # one taker at a time; guards _closed
        self._numbers = itertools.count(1)
        self._closed = False

    def close(self) -> None:
        """From now on nothing reaches the engine. Returns once a request being taken now
        has been handed over."""
        with self._lock:
            self._closed = True

    def on_dispatched(self, update=None, context=None) -> List[Request]:
        message = getattr(update, "effective_message", None)
        text = getattr(message, "text", None) or ""
        args = tuple(getattr(context, "args", None) or ())
        with self._lock:
            taken = take_requests(self.bot, stops=not self._closed)
            requests = [Request(kind, params, next(self._numbers), text, args)
                        for kind, params in taken]
            for request in requests:
                self._hand_over(request)
        return requests

    def answer(self, text: str) -> None:
        """The session's own answer to the update being dispatched, in its turn among the
        engine's answers."""
        with self._lock:
            self._hand_over(Request(ANSWER, {"text": text}, next(self._numbers)))

    def take(self, request: Request) -> None:
        """A request of the session's own commands (the bot module knows none of them),
        numbered and handed over in its turn like the bot's."""
        with self._lock:
            self._hand_over(replace(request, seq=next(self._numbers)))

    def _hand_over(self, request: Request) -> None:
        if not self._closed:
            self.submit(request)
        elif self.when_closed is not None:
            self.when_closed(request)
