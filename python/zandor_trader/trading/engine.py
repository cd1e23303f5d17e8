"""The trading engine's loop: serves the operator's requests through the gateway, on the
gateway's thread.

It sleeps on one inbox. The operator's requests arrive there whole, one `Request` each, in the
order the operator sent them; the gateway wakes it after each deal, a stop request (the time
limit, Ctrl-C) when the session must end; its own timers are bounded waits on the same inbox.
Whatever woke it, it serves everything queued so far, then sleeps. The requests are served by
handlers grouped by family (queries, orders, stopping), the market data watched by
`MarketWatch`. Answers go to an outbox that another thread serves, so a slow or failing chat
never holds up the gateway.
"""
import queue
import time
import traceback
from typing import Callable, Dict, Mapping, Optional, Protocol, Union

from zandor_trader.core.constants import OrderStatus
from zandor_trader.core.security import Security
from zandor_trader.trading import pretrade, replies
from zandor_trader.trading.market_watch import MarketWatch
from zandor_trader.trading.orders import OrderRequests
from zandor_trader.trading.queries import Queries
from zandor_trader.trading.requests import TERMINATED, Request
from zandor_trader.trading.stopping import Stopping

STOP = "stop:"  # inbox items that ask the engine to end start with this, the reason follows
ALERT = "alert:"  # inbox items to tell the operator, unasked; the text follows
# Order updates that end an order without a fill, worth telling the operator.
ENDED = {OrderStatus.CANCELLED: "cancelled",
         OrderStatus.FAILED: "rejected, expired or lost by the broker"}
LINK_NAMES = {"gateway": "Gateway connection", "data": "Market data connection"}


class Outlet(Protocol):
    """Where the engine's answers go (the session's outbox): `put` returns at once, and
    `on_sent` runs once the text is sent."""

    def put(self, text: str, on_sent: Optional[Callable[[], None]] = None) -> None: ...


class Engine:
    """Serves the operator of `bot` (a TelegramBot) with `gateway` (a CqgGateway).

    `outbox` sends the engine's answers. `refresh_every` (seconds, or None): how often
    balance, positions and bars are refreshed for the display; `on_refresh` is called after
    each refresh. `log` takes the engine's own notices (one line each).
    """

    def __init__(self, bot, gateway, *, outbox: Outlet,
                 refresh_every: Optional[float] = None,
                 on_refresh: Optional[Callable[[], None]] = None,
                 log: Callable[[str], None] = print, clock=time.monotonic,
                 limits: pretrade.Limits = pretrade.Limits(),
                 max_positions: Optional[Mapping[Security, int]] = None,
                 stale_after: Optional[float] = None):
        self.bot = bot
        self.gateway = gateway
        self.outbox = outbox
        # Pre-trade limits; `max_positions` overrides the position limit per security.
        self.limits = limits
        self.max_positions = dict(max_positions or {})
        self.refresh_every = refresh_every
        self.on_refresh = on_refresh
        self.log = log
        self.clock = clock
        # The request handlers, by family, and the request kinds each serves.
        self.queries = Queries(self)
        self.orders = OrderRequests(self)
        self.stopping = Stopping(self, self._end)
        self._handlers: Dict[str, Callable[..., None]] = {
            kind: getattr(family, kind)
            for family in (self.queries, self.orders) for kind in family.KINDS}
        self._handlers.update(stop=self._serve_stop, answer=self._serve_answer,
                              call=self._serve_call)
        # Seconds without market data for an instrument before the operator is told (None
        # or 0: never).
        self.watch = MarketWatch(self.reply, stale_after)
        # Requests and wake-ups; put() is signal-safe.
        self._inbox: "queue.SimpleQueue[Union[Request, str]]" = queue.SimpleQueue()
        self._stop_reason: Optional[str] = None  # written on the engine's thread only
        self._ended_seen = 0  # ended orders announced (engine's thread)
        self._deals_queued = 0  # deals whose notice is in the outbox or sent (engine's thread)
        self.deals_announced = 0  # deals whose notice was sent (the outbox's thread)
        self.served = 0  # requests served (engine's thread)

    # -- the inbox (any thread; `wake` and `request_stop` also from a signal handler) -------
    def submit(self, request: Request) -> None:
        self._inbox.put(request)

    def wake(self, reason: str = "update") -> None:
        self._inbox.put(reason)

    def request_stop(self, reason: str) -> None:
        self._inbox.put(STOP + reason)

    def on_gateway_record(self, kind: str, record) -> None:
        if kind in ("quote", "orderbook"):
            if self.watch.saw(record.security, self.clock()):  # back: tell the operator now
                self.wake("data")
        elif kind == "deal":
            self.wake("deal")
        elif kind == "order":
            if record.get("status") in ENDED:
                self.wake("order")
        elif kind == "link":
            link, up = record
            state = "restored" if up else "LOST"
            self.alert(f"{LINK_NAMES.get(link, link)} {state}.")

    def alert(self, text: str) -> None:
        """Any thread: `text` goes to the operator from the engine's thread, in turn."""
        self._inbox.put(ALERT + text)

    # -- the loop (the gateway's thread) -----------------------------------------------------
    def run(self, deadline: Optional[float] = None) -> str:
        """Serves until a stop request or `deadline` (on `clock`); returns why it stopped."""
        next_refresh = self.clock()
        next_stale_check = self.watch.start(self.gateway.cqg_quotes, self.clock())
        self.serve_pending()  # what was asked before the engine started
        while self._stop_reason is None:
            now = self.clock()
            if self.refresh_every is not None and now >= next_refresh:
                self.refresh()
                next_refresh = now + self.refresh_every
            if next_stale_check is not None and now >= next_stale_check:
                self.watch.check(now)
                next_stale_check = now + self.watch.period()
            if deadline is not None and now >= deadline:
                self._stop_reason = "time limit reached"
                break
            waits = [t - now for t in (next_refresh if self.refresh_every else None, deadline,
                                       next_stale_check)
                     if t is not None]
            try:
                item = self._inbox.get(timeout=max(min(waits), 0) if waits else None)
            except queue.Empty:
                continue
            self._handle(item)
            self.serve_pending()
        self.bot.zandor_trader_status = TERMINATED
        return self._stop_reason

    def serve_pending(self) -> None:
        """Serves everything in the inbox now, in order, then announces new deals."""
        while True:
            try:
                item = self._inbox.get_nowait()
            except queue.Empty:
                break
            self._handle(item)
        self._announce_deals()
        self._announce_ended_orders()
        if self.watch.any_stale():
            self.watch.check(self.clock())

    def _handle(self, item) -> None:
        if isinstance(item, Request):
            self._serve_one(item)
        elif item.startswith(STOP) and self._stop_reason is None:
            self._stop_reason = item[len(STOP):]
        elif item.startswith(ALERT):
            self.reply(item[len(ALERT):])
        # other wake-ups (a deal) only make the engine look: serve_pending announces deals

    def _serve_one(self, request: Request) -> None:
        serve = self._handlers[request.kind]
        self.served += 1
        params = dict(request.params)
        if request.kind == "stop":
            params["args"] = request.args
        else:  # any other request in between: a /stop must be asked again
            self.stopping.other_request()
        try:
            serve(**params)
        except Exception as exc:  # an operator's request never ends the session
            self.log(f"Serving {request.kind} failed:\n{traceback.format_exc().rstrip()}")
            # The first line says what went wrong (an order placing timeout goes on with the
            # order's record); the whole of it is in the log.
            what = str(exc).split("\n", 1)[0].rstrip()
            self.reply(f"{request.kind} failed: {type(exc).__name__}: {what}")

    def _serve_stop(self, args=()) -> None:
        if self._stop_reason is None:
            self.stopping.stop(args)

    def _serve_answer(self, text) -> None:
        """The session's own answers (help, hints), in turn with the other requests' answers."""
        self.reply(text)

    def _serve_call(self, action: Callable[[], Optional[str]]) -> None:
        """The session's own commands that act (a drill on the simulated broker): run here, in
        turn with the other requests; what they return is their answer."""
        text = action()
        if text:
            self.reply(text)

    def _end(self, reason: str) -> None:
        self._stop_reason = reason

    def reply(self, text: str, on_sent: Optional[Callable[[], None]] = None) -> None:
        """Queues `text` for the operator; returns at once."""
        self.outbox.put(text, on_sent)

    def summary(self, reason: str) -> str:
        """The session's last message: realized P&L, open positions, working orders."""
        return self.stopping.summary(reason)

    # -- refreshing for the display ----------------------------------------------------------
    def refresh(self) -> None:
        try:
            self.gateway.query_account()
            self.gateway.query_positions()
            self.gateway.query_bars()
        except Exception as exc:
            self.log(f"Refreshing the account failed: {type(exc).__name__}: {exc}")
        if self.on_refresh is not None:
            self.on_refresh()

    # -- what the operator is told unasked ---------------------------------------------------
    def _announce_ended_orders(self) -> None:
        """Each order cancelled, rejected or expired, once."""
        fresh, self._ended_seen = self.gateway.trades.ended_after(self._ended_seen)
        for order in fresh:
            if order.status == OrderStatus.FAILED and order.reason:
                self.reply(f"Order rejected by the broker: {replies.order_line(order)}. "
                           f"Reason: {order.reason}")
            else:
                self.reply(f"Order {ENDED[order.status]}: {replies.order_line(order)}")

    def _announce_deals(self) -> None:
        """Each new deal once: its notice stays in the outbox until it is sent."""
        fresh, self._deals_queued = self.gateway.trades.deals_after(self._deals_queued)
        for deal in fresh:
            self.reply(f"Deal: {replies.deal_line(deal)}", on_sent=self._deal_announced)

    def _deal_announced(self) -> None:
        self.deals_announced += 1
