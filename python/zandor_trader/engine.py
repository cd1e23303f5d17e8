"""The trading engine: serves the operator's requests through the gateway, on the gateway's thread.

It sleeps on one wake-up queue. The bot's dispatcher wakes it after each operator update (a
handler in a later group than the bot's own), the gateway after each deal, a stop request
(/stop, the time limit, Ctrl-C) when the session must end; its own timers are bounded waits
on the same queue. Whatever woke it, it takes every raised request and serves it, then looks
again, until none is left.
"""
import queue
import time
import traceback
from typing import Callable, List, Optional

from zandor_trader import replies
from zandor_trader.core.constants import Direction, Offset, OrderType
from zandor_trader.core.order import Order
from zandor_trader.gateways.cqg.trades import is_alive, newest
from zandor_trader.operator_requests import TERMINATED, DispatchGate, Request, take_requests
from zandor_trader.order_string import OrderStringError, parse_order_string

GATE_TIMEOUT = 10.0  # seconds; a dispatch holding the gate longer is sending a slow reply
OPPOSITE = {Direction.LONG: Direction.SHORT, Direction.SHORT: Direction.LONG}


class Engine:
    """Serves `bot` (a TelegramBot) with `gateway` (a CqgGateway).

    `refresh_every` (seconds, or None): how often balance, positions and bars are refreshed
    for the display; `on_refresh` is called after each refresh. `log` takes the engine's own
    notices (one line each).
    """

    def __init__(self, bot, gateway, gate: DispatchGate, *, refresh_every: Optional[float] = None,
                 on_refresh: Optional[Callable[[], None]] = None,
                 on_reply: Optional[Callable[[], None]] = None,
                 log: Callable[[str], None] = print, clock=time.monotonic):
        self.bot = bot
        self.gateway = gateway
        self.gate = gate
        self.refresh_every = refresh_every
        self.on_refresh = on_refresh
        self.on_reply = on_reply
        self.log = log
        self.clock = clock
        self._wakeups: "queue.SimpleQueue[str]" = queue.SimpleQueue()  # put() is signal-safe
        self._stop_reason: Optional[str] = None  # written on the engine's thread only
        self._announced = 0  # deals already announced in the chat

    # -- wake-ups (any thread; `wake` also from a signal handler) ---------------------------
    def wake(self, reason: str = "update") -> None:
        self._wakeups.put(reason)

    def request_stop(self, reason: str) -> None:
        self._wakeups.put("stop:" + reason)

    def on_update_dispatched(self, update=None, context=None) -> None:
        """The dispatcher handler of the later group: the bot's fields are written."""
        self.gate.end(update, context)
        self.wake("update")

    def on_gateway_record(self, kind: str, record) -> None:
        if kind == "deal":
            self.wake("deal")

    # -- the loop (the gateway's thread) -----------------------------------------------------
    def run(self, deadline: Optional[float] = None) -> str:
        """Serves until a stop request or `deadline` (on `clock`); returns why it stopped."""
        next_refresh = self.clock()
        woken = True  # at the start: also what was asked before the engine started
        while True:
            if woken:  # the bot's fields are read when something happened, not on a timer
                self.serve()
            if self._stop_reason is not None:
                break
            now = self.clock()
            if self.refresh_every is not None and now >= next_refresh:
                self.refresh()
                next_refresh = now + self.refresh_every
            if deadline is not None and now >= deadline:
                self._stop_reason = "time limit reached"
                break
            waits = [t - now for t in (next_refresh if self.refresh_every else None, deadline)
                     if t is not None]
            woken = self._sleep(min(waits) if waits else None)
        self.bot.zandor_trader_status = TERMINATED
        return self._stop_reason

    def _sleep(self, timeout: Optional[float]) -> bool:
        """Waits for wake-ups (at most `timeout` seconds); tells whether any came."""
        try:
            reasons = [self._wakeups.get(timeout=max(timeout, 0) if timeout is not None else None)]
        except queue.Empty:
            return False
        while True:  # one serving answers every wake-up queued so far
            try:
                reasons.append(self._wakeups.get_nowait())
            except queue.Empty:
                break
        for reason in reasons:
            if reason.startswith("stop:") and self._stop_reason is None:
                self._stop_reason = reason[len("stop:"):]
        return True

    def serve(self) -> None:
        """Serves every raised request, looking again after each round, and announces new
        deals. A request raised while another is served is taken in the next round."""
        while True:
            requests = self._take()
            for request in requests:
                self._serve_one(request)
            # A stop stays requested (the status keeps reading "Terminated"): not a new request.
            if all(request.kind == "stop" for request in requests):
                break
        self._announce_deals()

    def _take(self) -> List[Request]:
        if not self.gate.acquire(GATE_TIMEOUT):
            self.log("Operator requests are still being written; serving them on the next wake-up")
            return []
        try:
            return take_requests(self.bot)
        finally:
            self.gate.release()

    def _serve_one(self, request: Request) -> None:
        serve = getattr(self, "_serve_" + request.kind)
        try:
            serve(**request.params)
        except Exception as exc:  # an operator's request never ends the session
            self.log(f"Serving {request.kind} failed:\n{traceback.format_exc().rstrip()}")
            self.reply(f"{request.kind} failed: {type(exc).__name__}: {exc}")

    def reply(self, text: str) -> None:
        try:
            self.bot.send_message(text)
        except Exception as exc:  # the chat being unreachable must not stop the trading side
            self.log(f"Could not answer the operator: {type(exc).__name__}: {exc}")
        if self.on_reply is not None:
            self.on_reply()

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

    # -- the requests ------------------------------------------------------------------------
    def _serve_stop(self) -> None:
        if self._stop_reason is None:
            self._stop_reason = "/stop from the operator"

    def _serve_get_balance(self) -> None:
        balance = self.gateway.query_account()
        self.reply(replies.balance_text(self.gateway.gateway_name, self.gateway.account_id, balance))

    def _serve_get_positions(self) -> None:
        positions = self.gateway.query_positions()
        self.reply(replies.positions_text(self.gateway.gateway_name, positions))

    def _serve_get_orders(self, active_orders, num_orders_displayed) -> None:
        orders = self.gateway.trades.orders(active_only=bool(active_orders))
        shown = newest(orders, num_orders_displayed)
        self.reply(replies.orders_text(shown, len(orders), bool(active_orders)))

    def _serve_get_deals(self, num_deals_displayed) -> None:
        deals = self.gateway.trades.deals()
        self.reply(replies.deals_text(newest(deals, num_deals_displayed), len(deals)))

    def _refuse_gateway(self, action: str, name) -> None:
        self.reply(f"{action} refused: no gateway named {name!r} "
                   f"(gateways: {self.gateway.gateway_name}).")

    def _serve_cancel_order(self, cancel_order_id, gateway_name) -> None:
        if gateway_name != self.gateway.gateway_name:
            self._refuse_gateway("Cancel", gateway_name)
            return
        order = self.gateway.trades.get(cancel_order_id) if isinstance(cancel_order_id, str) else None
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

    def _announce_deals(self) -> None:
        fresh, self._announced = self.gateway.trades.deals_after(self._announced)
        for deal in fresh:
            self.reply(f"Deal: {replies.deal_line(deal)}")

