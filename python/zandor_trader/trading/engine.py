"""The trading engine's loop: serves the operator's requests through the gateway, on the
gateway's thread.

It sleeps on one inbox. The operator's requests arrive there whole, one `Request` each, in the
order the operator sent them; the gateway wakes it after each deal and each order that ends, a
stop request (the time limit, Ctrl-C) when the session must end; its own timers are bounded
waits on the same inbox. Whatever woke it, it serves everything queued so far, moves a flatten
under way on, then sleeps. The requests are served by handlers grouped by family (queries,
orders, risk, stopping, the session's own), the market data watched by `MarketWatch`, the
day's loss by `DailyRisk`. Answers go to an outbox that another thread serves, so a slow or
failing chat never holds up the gateway.

Once it must end, nothing more is served: `on_ending` closes the way in (the session's intake),
every request still queued is answered that it was not served, and only then is the bot marked
terminated.
"""
import datetime as _dt
import queue
import time
import traceback
from typing import Any, Callable, Dict, Mapping, Optional, Protocol, Union

from zandor_trader.core.constants import OrderStatus
from zandor_trader.core.security import Security
from zandor_trader.trading import pretrade
from zandor_trader.trading.announcing import ENDED, Announcements
from zandor_trader.trading.bookkeeping import Bookkeeping
from zandor_trader.trading.daily import DailySummary
from zandor_trader.trading.journal import Journal
from zandor_trader.trading.market_watch import MarketWatch
from zandor_trader.trading.orders import FLATTEN_WAIT, OrderRequests
from zandor_trader.trading.own_requests import OwnRequests
from zandor_trader.trading.pnl_requests import PnlRequests
from zandor_trader.trading.queries import Queries
from zandor_trader.trading.questions import PRESS, Questions
from zandor_trader.trading.requests import (
    STOP as STOP_KIND, TERMINATED, Request, unserved_answer)
from zandor_trader.trading.risk import DailyRisk
from zandor_trader.trading.risk_requests import RiskRequests
from zandor_trader.trading.stopping import Stopping
from zandor_trader.trading.tracking import OrderTracking

STOP = "stop:"  # inbox items that ask the engine to end start with this, the reason follows
ALERT = "alert:"  # inbox items to tell the operator, unasked; the text follows
INTERRUPT = "interrupt:"  # Ctrl-C; the time it came (on the engine's clock) follows
WARN_BEFORE_END = 60.0  # seconds before the time limit at which the operator is told
TIME_LIMIT_WARNING = "The session ends in 1 minute: its time limit is reached then."
LINK_NAMES = {"gateway": "Gateway connection", "data": "Market data connection"}
# Order updates that wake the engine: the ends it announces, and the fills a flatten waits for.
WAKING = tuple(ENDED) + (OrderStatus.FILLED,)
RISK_EVERY = 1.0  # seconds between two looks at the day's P&L while a loss limit is set


class Outlet(Protocol):
    """Where the engine's answers go (the session's outbox): `put` returns at once, and
    `on_sent` runs once the text is sent."""

    def put(self, text: str, on_sent: Optional[Callable[[], None]] = None) -> Any: ...


class Engine:
    """Serves the operator of `bot` (a TelegramBot) with `gateway` (a CqgGateway).

    `outbox` sends the engine's answers. `refresh_every` (seconds, or None): how often
    balance, positions and bars are refreshed for the display; `on_refresh` is called after
    each refresh. `log` takes the engine's own notices (one line each). `flatten_wait`
    (seconds) bounds each wait of a flatten (for its cancels, for its closing orders). With a
    `journal`, deals are journaled with what they realized, /pnl answers from it, and with
    `daily_close` (a time on the clock of exchange `home_exchange`, which the broker's clock
    passes at `speed` times real time) a summary goes out at each trading day's close.
    `on_ending()` runs on the engine's thread once the engine must end, before the queued
    requests are answered.
    """

    def __init__(self, bot, gateway, *, outbox: Outlet,
                 refresh_every: Optional[float] = None,
                 on_refresh: Optional[Callable[[], None]] = None,
                 log: Callable[[str], None] = print, clock=time.monotonic,
                 limits: pretrade.Limits = pretrade.Limits(),
                 max_positions: Optional[Mapping[Security, int]] = None,
                 stale_after: Optional[float] = None, flatten_wait: float = FLATTEN_WAIT,
                 journal: Optional[Journal] = None, daily_close: Optional[_dt.time] = None,
                 home_exchange: str = "CME", speed: float = 1.0,
                 on_ending: Optional[Callable[[], None]] = None):
        self.bot = bot
        self.on_ending = on_ending
        self.gateway = gateway
        self.outbox = outbox
        # Pre-trade limits; `max_positions` overrides the position limit per security.
        self.limits = limits
        self.max_positions = dict(max_positions or {})
        self.refresh_every = refresh_every
        self.on_refresh = on_refresh
        self.log = log
        self.clock = clock
        # The daily loss limit and the operator's halt; the day is the market's.
        self.risk = DailyRisk(lambda: self.limits, getattr(gateway, "market_time", lambda: None))
        # What the operator confirms or cancels (the stop, a flatten, a large order).
        self.questions = Questions(self.reply, lambda: self.clock())
        # The request handlers, by family, and the request kinds each serves.
        self.queries = Queries(self)
        self.orders = OrderRequests(self, flatten_wait)
        self.risks = RiskRequests(self, lambda: self.orders.start_flatten(None), log)
        self.pnl = PnlRequests(self)
        self.own = OwnRequests(self)  # the session's answers and actions
        self.stopping = Stopping(self, self._end)
        self._handlers: Dict[str, Callable[..., None]] = {
            kind: getattr(family, kind)
            for family in (self.queries, self.orders, self.risks, self.pnl, self.own,
                           self.questions)
            for kind in family.KINDS}
        self._handlers[STOP_KIND] = self._serve_stop
        self.tracking = OrderTracking(self, clock)
        self.journal = journal
        self.books = Bookkeeping(journal, gateway.point_value) if journal is not None else None
        self.daily = DailySummary(gateway, journal, home_exchange, daily_close, speed,
                                  self.reply, lambda: self.stopping.open_business()[1]) \
            if journal is not None and daily_close is not None else None
        # Seconds without market data for an instrument before the operator is told (None
        # or 0: never).
        self.watch = MarketWatch(self.reply, stale_after)
        # Requests and wake-ups; put() is signal-safe.
        self._inbox: "queue.SimpleQueue[Union[Request, str]]" = queue.SimpleQueue()
        self._stop_reason: Optional[str] = None  # written on the engine's thread only
        self.announcements = Announcements(self)
        self.served = 0  # requests served (engine's thread)

    @property
    def deals_announced(self) -> int:
        """Deals whose notice was sent."""
        return self.announcements.deals_announced

    def add_handler(self, kind: str, serve: Callable[..., None]) -> None:
        """Requests of `kind` are served by `serve(**params)` on the engine's thread, in turn
        (the session's own commands)."""
        self._handlers[kind] = serve

    # -- the inbox (any thread; `wake` and `request_stop` also from a signal handler) -------
    def submit(self, request: Request) -> None:
        self._inbox.put(request)

    def wake(self, reason: str = "update") -> None:
        self._inbox.put(reason)

    def request_stop(self, reason: str) -> None:
        self._inbox.put(STOP + reason)

    def interrupt(self) -> None:
        """Ctrl-C: ends the engine at once when nothing is open, else asks on the terminal
        for a second Ctrl-C (see Stopping.interrupted)."""
        self._inbox.put(INTERRUPT + repr(self.clock()))

    def on_gateway_record(self, kind: str, record) -> None:
        if kind in ("quote", "orderbook"):
            if self.watch.saw(record.security, self.clock()):  # back: tell the operator now
                self.wake("data")
        elif kind in ("deal", "unknown_order"):
            self.wake(kind)
        elif kind == "order":
            if record.get("status") in WAKING:
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
        next_refresh = next_risk = self.clock()
        next_stale_check = self.watch.start(self.gateway.cqg_quotes, self.clock())
        # Told one minute before the time limit; a shorter session is not warned.
        warn_at = deadline - WARN_BEFORE_END if deadline is not None and \
            deadline - self.clock() > WARN_BEFORE_END else None
        self.check_risk()  # where the day's P&L starts, before anything is served
        if self.daily is not None:
            self.daily.start(self.clock())
        self.serve_pending()  # what was asked before the engine started
        while self._stop_reason is None:
            now = self.clock()
            if self.refresh_every is not None and now >= next_refresh:
                self.refresh()
                next_refresh = now + self.refresh_every
            if next_stale_check is not None and now >= next_stale_check:
                self.watch.check(now)
                next_stale_check = now + self.watch.period()
            if warn_at is not None and now >= warn_at:
                self.reply(TIME_LIMIT_WARNING)
                warn_at = None
            watch_loss = self.limits.max_daily_loss is not None
            if watch_loss and now >= next_risk:
                self.check_risk()
                next_risk = now + RISK_EVERY
            flatten_due = self.orders.advance(now)
            self._run_timers(now)
            if deadline is not None and now >= deadline:
                self._stop_reason = "time limit reached"
                break
            waits = [t - now for t in (next_refresh if self.refresh_every else None, deadline,
                                       next_stale_check, warn_at,
                                       next_risk if watch_loss else None,
                                       flatten_due, self.tracking.due(),
                                       self.daily.due() if self.daily else None)
                     if t is not None]
            try:
                item = self._inbox.get(timeout=max(min(waits), 0) if waits else None)
            except queue.Empty:
                continue
            self._handle(item)
            self.serve_pending()
        self._wind_down()
        return self._stop_reason

    def _wind_down(self) -> None:
        """The way in closed first; what is still queued answered (requests unserved); then
        the bot marked terminated, which nothing reads as a /stop any more."""
        if self.on_ending is not None:
            try:
                self.on_ending()
            except Exception:
                self.log(f"Ending the intake failed:\n{traceback.format_exc().rstrip()}")
        self.serve_pending()
        self.bot.zandor_trader_status = TERMINATED

    def serve_pending(self) -> None:
        """Serves everything in the inbox now, in order, then announces new deals."""
        while True:
            try:
                item = self._inbox.get_nowait()
            except queue.Empty:
                break
            self._handle(item)
        ending = self._stop_reason is not None  # nothing more is placed then
        self.tracking.adopt_unknown()  # before the deals: theirs then have a security
        if self.announcements.deals() and self.limits.max_daily_loss is not None and not ending:
            self.check_risk()  # a deal moves the day's P&L at once
        self.announcements.ended_orders()
        if not ending:
            self.orders.advance(self.clock())
        if self.watch.any_stale():
            self.watch.check(self.clock())

    def _handle(self, item) -> None:
        if isinstance(item, Request):
            if self._stop_reason is None:
                self._serve_one(item)
            else:  # the session is ending: nothing more is done, each request still answered
                answer = unserved_answer(item)
                if answer is not None:
                    self.reply(answer)
        elif item.startswith(STOP) and self._stop_reason is None:
            self._stop_reason = item[len(STOP):]
        elif item.startswith(INTERRUPT) and self._stop_reason is None:
            self.stopping.interrupted(float(item[len(INTERRUPT):]))
        elif item.startswith(ALERT):
            if self.journal is not None:
                self.journal.alert(item[len(ALERT):])
            self.reply(item[len(ALERT):])
        # other wake-ups (a deal) only make the engine look: serve_pending announces deals

    def _serve_one(self, request: Request) -> None:
        serve = self._handlers[request.kind]
        self.served += 1
        params = dict(request.params)
        if request.kind == STOP_KIND:
            params["args"] = request.args
        elif request.kind != PRESS or not self.stopping.is_own(params.get("key")):
            self.stopping.other_request()  # anything else in between: /stop must ask again
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

    def trading_day(self) -> _dt.date:
        """Today's trading day on the broker's clock (else the local one), home exchange."""
        return self.pnl.trading_day()

    def _run_timers(self, now: float) -> None:
        timers = [(self.tracking.due(), self.tracking.settle)]
        if self.daily is not None:
            timers.append((self.daily.due(), self.daily.run))
        for due, run in timers:
            if due is not None and now >= due:
                try:
                    run(now)
                except Exception:  # a look at the broker never ends the session
                    self.log(f"A timed check failed:\n{traceback.format_exc().rstrip()}")

    def _end(self, reason: str) -> None:
        self._stop_reason = reason

    def check_risk(self) -> None:
        self.risks.check()

    def reply(self, text: str, on_sent: Optional[Callable[[], None]] = None) -> None:
        """Queues `text` for the operator; returns at once."""
        self.outbox.put(text, on_sent)

    def summary(self, reason: str) -> str:
        """The session's last message: realized P&L, open positions, working orders."""
        return self.stopping.summary(reason)

    # -- refreshing for the display ----------------------------------------------------------
    def refresh(self) -> None:
        self.queries.refresh()
        if self.on_refresh is not None:
            self.on_refresh()
