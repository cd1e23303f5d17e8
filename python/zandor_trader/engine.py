"""The trading engine: serves the operator's requests through the gateway, on the gateway's thread.

It sleeps on one inbox. The operator's requests arrive there whole, one object each, in the
order the operator sent them (see operator_requests); the gateway wakes it after each deal, a
stop request (the time limit, Ctrl-C) when the session must end; its own timers are bounded
waits on the same inbox. Whatever woke it, it serves everything queued so far, then sleeps.
Its answers go out through an outbox served by another thread, so a slow or failing chat
never holds up the gateway.
"""
import queue
import time
import traceback
from typing import Callable, Dict, List, Mapping, Optional, Union

from zandor_trader import order_ids, pretrade, replies
from zandor_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.trades import is_alive
from zandor_trader.operator_requests import TERMINATED, Request
from zandor_trader.order_string import OrderStringError, parse_order_string
from zandor_trader.outbox import Outbox

OPPOSITE = {Direction.LONG: Direction.SHORT, Direction.SHORT: Direction.LONG}
STOP = "stop:"  # inbox items that ask the engine to end start with this, the reason follows
ALERT = "alert:"  # inbox items to tell the operator, unasked; the text follows
# Order updates that end an order without a fill, worth telling the operator.
ENDED = {OrderStatus.CANCELLED: "cancelled",
         OrderStatus.FAILED: "rejected, expired or lost by the broker"}
LINK_NAMES = {"gateway": "Gateway connection", "data": "Market data connection"}


class Engine:
    """Serves the operator of `bot` (a TelegramBot) with `gateway` (a CqgGateway).

    `outbox` sends the engine's answers (by default one of its own, over `bot.send_message`,
    closed by `close`). `refresh_every` (seconds, or None): how often balance, positions and
    bars are refreshed for the display; `on_refresh` is called after each refresh. `log` takes
    the engine's own notices (one line each).
    """

    def __init__(self, bot, gateway, *, outbox: Optional[Outbox] = None,
                 refresh_every: Optional[float] = None,
                 on_refresh: Optional[Callable[[], None]] = None,
                 log: Callable[[str], None] = print, clock=time.monotonic,
                 limits: pretrade.Limits = pretrade.Limits(),
                 max_positions: Optional[Mapping[Security, int]] = None,
                 stale_after: Optional[float] = None):
        self.bot = bot
        # Pre-trade limits; `max_positions` overrides the position limit per security.
        self.limits = limits
        self.max_positions = dict(max_positions or {})
        # Seconds without market data for an instrument before the operator is told (None
        # or 0: never). Last data by security on `clock`, written by the component's thread.
        self.stale_after = stale_after or None
        self._data_seen: Dict[object, float] = {}
        self._stale: set = set()  # securities the operator was told are stale
        self._ended_seen = 0  # ended orders announced (engine's thread)
        self._stop_asked = False  # a /stop is waiting for its confirmation
        self.gateway = gateway
        self.refresh_every = refresh_every
        self.on_refresh = on_refresh
        self.log = log
        self.clock = clock
        self._own_outbox = outbox is None
        self.outbox = outbox if outbox is not None else Outbox(bot.send_message, log=log).start()
        # Requests and wake-ups; put() is signal-safe.
        self._inbox: "queue.SimpleQueue[Union[Request, str]]" = queue.SimpleQueue()
        self._stop_reason: Optional[str] = None  # written on the engine's thread only
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
            security = record.security
            self._data_seen[security] = self.clock()
            if self._stale and security in self._stale:  # back: tell the operator now
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
        next_stale_check = self._start_watching_data()
        self.serve_pending()  # what was asked before the engine started
        while self._stop_reason is None:
            now = self.clock()
            if self.refresh_every is not None and now >= next_refresh:
                self.refresh()
                next_refresh = now + self.refresh_every
            if next_stale_check is not None and now >= next_stale_check:
                self.check_stale(now)
                next_stale_check = now + self._stale_period()
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
        if self._stale and self.stale_after:
            self.check_stale(self.clock())

    def _handle(self, item) -> None:
        if isinstance(item, Request):
            self._serve_one(item)
        elif item.startswith(STOP) and self._stop_reason is None:
            self._stop_reason = item[len(STOP):]
        elif item.startswith(ALERT):
            self.reply(item[len(ALERT):])
        # other wake-ups (a deal) only make the engine look: serve_pending announces deals

    def _serve_one(self, request: Request) -> None:
        serve = getattr(self, "_serve_" + request.kind)
        self.served += 1
        params = dict(request.params)
        if request.kind == "stop":
            params["args"] = request.args
        else:  # any other request in between: a /stop must be asked again
            self._stop_asked = False
        try:
            serve(**params)
        except Exception as exc:  # an operator's request never ends the session
            self.log(f"Serving {request.kind} failed:\n{traceback.format_exc().rstrip()}")
            self.reply(f"{request.kind} failed: {type(exc).__name__}: {exc}")

    def reply(self, text: str, on_sent: Optional[Callable[[], None]] = None) -> None:
        """Queues `text` for the operator; returns at once."""
        self.outbox.put(text, on_sent)

    def close(self) -> None:
        """Ends the engine's own outbox, giving queued answers a bounded time to go out."""
        if self._own_outbox:
            self.outbox.close()

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

    # -- market data watch -------------------------------------------------------------------
    def _start_watching_data(self) -> Optional[float]:
        """Every traded instrument counts as fresh now; the time of the first check."""
        if not self.stale_after:
            return None
        now = self.clock()
        for security in list(self.gateway.cqg_quotes):
            self._data_seen.setdefault(security, now)
        return now + self._stale_period()

    def _stale_period(self) -> float:
        # Asked only while the data is watched, that is with `stale_after` set.
        return max((self.stale_after or 0.0) / 4, 0.05)

    def check_stale(self, now: float) -> None:
        """Tells the operator of each instrument whose data stopped longer than `stale_after`
        ago, once, and of each that came back."""
        stale_after = self.stale_after
        if not stale_after:  # not watched
            return
        for security, seen in list(self._data_seen.items()):
            quiet = now - seen
            if quiet > stale_after and security not in self._stale:
                self._stale.add(security)
                self.reply(f"Market data of {security} is stale: nothing for {quiet:.0f} s.")
            elif quiet <= stale_after and security in self._stale:
                self._stale.discard(security)
                self.reply(f"Market data of {security} is flowing again.")

    # -- the end -----------------------------------------------------------------------------
    def summary(self, reason: str) -> str:
        """One message for the end of the session: realized P&L, open positions and the
        working orders."""
        lines = [f"Zandor-Trader terminated ({reason})."]
        try:
            balance = self.gateway.query_account()
            lines.append(f"Realized P&L: {replies.number(balance.realized_pnl)}")
        except Exception as exc:
            lines.append(f"Realized P&L: unknown ({type(exc).__name__}: {exc})")
        lines += self._open_business()[1]
        return "\n".join(lines)

    def _open_business(self):
        """(whether anything is open, lines naming the open positions and working orders);
        positions that cannot be read count as open."""
        try:
            positions = self.gateway.query_positions()
            lines = [f"Open positions: {len(positions)}"]
            lines += [replies.position_line(self.gateway.gateway_name, p) for p in positions]
            anything = bool(positions)
        except Exception as exc:
            lines = [f"Open positions: unknown ({type(exc).__name__}: {exc})"]
            anything = True
        working = self.gateway.trades.orders(active_only=True)
        lines.append(f"Working orders: {len(working)}")
        lines += [replies.order_line(o) for o in working]
        return anything or bool(working), lines

    # -- the requests ------------------------------------------------------------------------
    def _serve_stop(self, args=()) -> None:
        """Ends the session; with open positions or working orders, only when confirmed:
        a second /stop in a row, or /stop force."""
        if self._stop_reason is not None:
            return
        force = any(str(a).lower() == "force" for a in args)
        if not force and not self._stop_asked:
            anything, lines = self._open_business()
            if anything:
                self._stop_asked = True
                self.reply("\n".join(
                    ["Stop not done yet: the account still has business open."] + lines
                    + ["Send /stop again (or /stop force) to end the session anyway; "
                       "positions and orders are left as they are."]))
                return
        self._stop_reason = "/stop from the operator"

    def _serve_answer(self, text) -> None:
        """The session's own answers (help, hints), in turn with the other requests' answers."""
        self.reply(text)

    def _serve_get_balance(self) -> None:
        balance = self.gateway.query_account()
        self.reply(replies.balance_text(self.gateway.gateway_name, self.gateway.account_id, balance))

    def _serve_get_positions(self) -> None:
        positions = self.gateway.query_positions()
        self.reply(replies.positions_text(self.gateway.gateway_name, positions))

    def _serve_get_orders(self, active_orders, num_orders_displayed) -> None:
        shown, total = self.gateway.trades.newest_orders(num_orders_displayed,
                                                         active_only=bool(active_orders))
        self.reply(replies.orders_text(shown, total, bool(active_orders)))

    def _serve_get_deals(self, num_deals_displayed) -> None:
        shown, total = self.gateway.trades.newest_deals(num_deals_displayed)
        self.reply(replies.deals_text(shown, total))

    def _refuse_gateway(self, action: str, name) -> None:
        self.reply(f"{action} refused: no gateway named {name!r} "
                   f"(gateways: {self.gateway.gateway_name}).")

    def _serve_cancel_order(self, cancel_order_id, gateway_name) -> None:
        if gateway_name != self.gateway.gateway_name:
            self._refuse_gateway("Cancel", gateway_name)
            return
        trades = self.gateway.trades
        order, candidates = None, []  # type: Optional[Order], List[str]
        if isinstance(cancel_order_id, str):  # the whole id, or any unambiguous start of it
            order = trades.get(cancel_order_id)
            if order is None:
                found, candidates = order_ids.resolve(cancel_order_id, trades.order_ids())
                order = trades.get(found) if found is not None else None
        if candidates:
            self.reply("Cancel refused: " + order_ids.ambiguous_text(cancel_order_id, candidates))
            return
        if order is None:
            self.reply(f"Cancel refused: {gateway_name} has no order with id {cancel_order_id!r}.")
            return
        if not is_alive(order):
            self.reply(f"Cancel refused: order {order.order_id} is {order.status.name}, not active.")
            return
        self.gateway.cancel_order(order.order_id)
        self.reply(f"Cancel requested for order {replies.order_line(order)}")

    def _serve_cancel_orders(self) -> None:
        active = self.gateway.trades.orders(active_only=True)
        if not active:
            self.reply("No active orders to cancel.")
            return
        lines = []
        for order in active:
            try:
                self.gateway.cancel_order(order.order_id)
                lines.append(f"cancel requested: {order.order_id}")
            except Exception as exc:
                lines.append(f"cancel failed: {order.order_id}: {type(exc).__name__}: {exc}")
        self.reply("\n".join([f"Cancelling {len(active)} active orders:"] + lines))

    def _serve_send_order(self, order_string) -> None:
        try:
            order = parse_order_string(str(order_string), self.gateway.find_security,
                                       [self.gateway.gateway_name])
        except OrderStringError as exc:
            self.reply(f"Order refused: {exc}.")
            return
        refusal = pretrade.check_order(order, self._market(order), self.limits)
        if refusal:
            self.reply(f"Order refused: {refusal}.")
            return
        order_id = self.gateway.send_order(order)
        self.reply(f"Order placed: {order_id} {replies.order_summary(order)}")

    def _serve_close_positions(self, close_positions_gateway_name) -> None:
        name = close_positions_gateway_name  # None: every gateway
        if name is not None and name != self.gateway.gateway_name:
            self._refuse_gateway("Close", name)
            return
        positions = self.gateway.query_positions()
        if not positions:
            self.reply("No open positions to close.")
            return
        lines = []
        for position in positions:
            order = Order(security=position.security, price=None, quantity=position.quantity,
                          direction=OPPOSITE[position.direction], offset=Offset.CLOSE,
                          order_type=OrderType.MARKET, gateway_name=self.gateway.gateway_name)
            try:
                order_id = self.gateway.send_order(order)
                lines.append(f"placed {order_id} {replies.order_summary(order)}")
            except Exception as exc:
                lines.append(f"failed {replies.order_summary(order)}: {type(exc).__name__}: {exc}")
        self.reply("\n".join([f"Closing {len(positions)} positions:"] + lines))

    def _market(self, order: Order) -> pretrade.Market:
        """What the checks need of the order's instrument, as of now."""
        security = order.security
        position = 0
        for p in self.gateway.query_positions():
            if p.security == security:
                position += pretrade.SIGN.get(p.direction, 0) * int(p.quantity)
        working = {Direction.LONG: 0, Direction.SHORT: 0}
        for o in self.gateway.trades.orders(active_only=True):
            if o.security == security and o.direction in working:
                working[o.direction] += int(o.quantity) - int(o.filled_quantity or 0)
        return pretrade.Market(
            tick_size=self.gateway.tick_size(security),
            last_price=self.gateway.last_price(security), position=position,
            working_long=working[Direction.LONG], working_short=working[Direction.SHORT],
            max_position=self.max_positions.get(security, self.limits.max_position))

    def _announce_ended_orders(self) -> None:
        """Each order cancelled, rejected or expired, once."""
        fresh, self._ended_seen = self.gateway.trades.ended_after(self._ended_seen)
        for order in fresh:
            self.reply(f"Order {ENDED[order.status]}: {replies.order_line(order)}")

    def _announce_deals(self) -> None:
        """Each new deal once: its notice stays in the outbox until it is sent."""
        fresh, self._deals_queued = self.gateway.trades.deals_after(self._deals_queued)
        for deal in fresh:
            self.reply(f"Deal: {replies.deal_line(deal)}", on_sent=self._deal_announced)

    def _deal_announced(self) -> None:
        self.deals_announced += 1

