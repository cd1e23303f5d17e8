"""Flattening: the working orders of the instruments concerned are cancelled first, then each
position is closed with market orders no larger than the per-order limit, each checked like any
order, and the outcome is told in one message.

A flatten runs in steps on the engine's thread, between its other work: it asks for the
cancels and comes back when they are answered (or `wait` seconds later), then places the
closing orders and comes back when they are done (or `wait` seconds later), then reports. It
never holds the engine up. The positions are read once the cancels are answered, so a working
order that filled before its cancel is closed too.
"""
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

from zandor_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.pretrade import SIGN
from zandor_trader.trading.trades import is_alive

OPPOSITE = {Direction.LONG: Direction.SHORT, Direction.SHORT: Direction.LONG}
GONE = (OrderStatus.CANCELLED, OrderStatus.FAILED)  # ended without (more) fill
# place(order, position, excluding): (the order's id, None) once placed, or (None, why not);
# `position` is the one to check it against, `excluding` the ids not to count as working.
Place = Callable[[Order, int, List[str]], Tuple[Optional[str], Optional[str]]]


def many(n: int, thing: str) -> str:
    return f"{n} {thing}" + ("" if n == 1 else "s")


def short(order_id: str) -> str:
    return order_id.strip("{}")[:8]


@dataclass
class _Instrument:
    security: Security
    cancelling: List[str] = field(default_factory=list)  # cancels asked for
    not_cancelled: List[Tuple[str, str]] = field(default_factory=list)  # (id, why)
    position: int = 0  # signed, when the cancels were answered
    closing: List[str] = field(default_factory=list)  # closing orders placed
    stopped: Optional[str] = None  # why the rest was not closed


class Flatten:
    """One flatten of `security` (None: every instrument). `place` places an order after the
    checks; `wait` (seconds of `now`'s clock) bounds each of the two waits."""

    def __init__(self, desk: Desk, place: Place, security: Optional[Security], wait: float):
        self.desk = desk
        self.place = place
        self.security = security
        self.wait = wait
        self._instruments: Dict[Security, _Instrument] = {}
        self._closing = False
        self.deadline: Optional[float] = None
        self.done = False

    def _concerns(self, security) -> bool:
        return security is not None and (self.security is None or security == self.security)

    def _instrument(self, security: Security) -> _Instrument:
        if security not in self._instruments:
            self._instruments[security] = _Instrument(security)
        return self._instruments[security]

    def start(self, now: float) -> None:
        gateway = self.desk.gateway
        for order in gateway.trades.orders(active_only=True):
            if not self._concerns(order.security):
                continue
            instrument = self._instrument(order.security)
            try:
                gateway.cancel_order(order.order_id)
                instrument.cancelling.append(order.order_id)
            except Exception as exc:  # filled or gone meanwhile, or the link is down
                instrument.not_cancelled.append((order.order_id, f"{type(exc).__name__}: {exc}"))
        self.deadline = now + self.wait
        self.advance(now)

    def advance(self, now: float) -> None:
        """Goes on as far as the answers so far allow; reports once done."""
        if self.done:
            return
        if not self._closing:
            if self._waiting_for("cancelling") and now < (self.deadline or now):
                return
            self._close_positions()
            self._closing = True
            self.deadline = now + self.wait
        if self._waiting_for("closing") and now < (self.deadline or now):
            return
        self.done = True
        self.deadline = None
        self.desk.reply(self.report())

    def _waiting_for(self, which: str) -> bool:
        trades = self.desk.gateway.trades
        return any(_alive(trades.get(order_id)) for i in self._instruments.values()
                   for order_id in getattr(i, which))

    def _close_positions(self) -> None:
        gateway = self.desk.gateway
        try:
            positions = gateway.query_positions()
        except Exception as exc:
            for instrument in self._instruments.values():
                instrument.stopped = f"the positions cannot be read ({type(exc).__name__}: {exc})"
            return
        for p in positions:
            if self._concerns(p.security) and p.direction in SIGN:
                self._instrument(p.security).position += SIGN[p.direction] * int(p.quantity)
        largest = max(int(self.desk.limits.max_order_quantity), 1)
        for instrument in self._instruments.values():
            if instrument.stopped is None:
                self._close(instrument, largest)

    def _close(self, instrument: _Instrument, largest: int) -> None:
        position = instrument.position
        if not position:
            return
        side = 1 if position > 0 else -1
        left = abs(position)
        while left > 0:
            quantity = min(left, largest)
            order = Order(security=instrument.security, price=None, quantity=quantity,
                          direction=Direction.SHORT if side > 0 else Direction.LONG,
                          offset=Offset.CLOSE, order_type=OrderType.MARKET,
                          gateway_name=self.desk.gateway.gateway_name)
            try:
                # Checked against the position as if the orders placed so far had filled.
                order_id, why = self.place(order, side * left, instrument.closing)
            except Exception as exc:
                order_id, why = None, f"placing failed: {type(exc).__name__}: {exc}"
            if order_id is None:
                instrument.stopped = why
                return
            instrument.closing.append(order_id)
            left -= quantity

    # -- the report ----------------------------------------------------------------------------
    def report(self) -> str:
        if not self._instruments:
            where = f" in {self.security.code}" if self.security is not None else ""
            return f"Nothing to flatten{where}: no open position or working order."
        parts, flat = [], True
        for instrument in self._instruments.values():
            text, done = self._outcome(instrument)
            parts.append(f"{instrument.security.code}: {text}")
            flat = flat and done
        return ("Flat: " if flat else "Not flat: ") + "; ".join(parts)

    def _outcome(self, instrument: _Instrument) -> Tuple[str, bool]:
        trades = self.desk.gateway.trades
        cancels = [trades.get(i) for i in instrument.cancelling]
        said = []
        gone = sum(1 for o in cancels if o is not None and o.status in GONE)
        filled = sum(1 for o in cancels if o is not None and o.status == OrderStatus.FILLED)
        late = [i for i, o in zip(instrument.cancelling, cancels) if _alive(o)]
        if gone:
            said.append(f"{many(gone, 'order')} cancelled")
        if filled:
            said.append(f"{many(filled, 'order')} filled before its cancel")
        if instrument.not_cancelled:
            said.append(f"{many(len(instrument.not_cancelled), 'order')} not cancelled ("
                        + ", ".join(f"{short(i)}: {why}" for i, why in instrument.not_cancelled)
                        + ")")
        if late:
            said.append(f"{many(len(late), 'cancel')} not answered after {self.wait:g} s ("
                        + ", ".join(short(i) for i in late) + ")")
        closed, done = self._closed(instrument)
        if closed:
            said.append(closed)
        return ", ".join(said), done and not late and not instrument.not_cancelled

    def _closed(self, instrument: _Instrument) -> Tuple[str, bool]:
        wanted = abs(instrument.position)
        if not wanted:
            return ("", True) if instrument.stopped is None else (instrument.stopped, False)
        trades = self.desk.gateway.trades
        orders = [trades.get(i) for i in instrument.closing]
        filled = sum(int(o.filled_quantity or 0) for o in orders if o is not None)
        count = many(len(orders), "order")
        if filled >= wanted:
            return f"{wanted} closed in {count}", True
        why = [instrument.stopped] if instrument.stopped else []
        for order_id, order in zip(instrument.closing, orders):
            if order is None or order.status == OrderStatus.FILLED:
                continue
            if _alive(order):
                why.append(f"order {short(order_id)} not filled after {self.wait:g} s")
            elif order.status == OrderStatus.FAILED:
                why.append(f"order {short(order_id)} rejected by the broker"
                           + (f": {order.reason}" if order.reason else ""))
            else:
                why.append(f"order {short(order_id)} {order.status.name.lower()}")
        held = "long" if instrument.position > 0 else "short"
        done = f"{filled} of {wanted} closed in {count}, " if orders else ""
        return f"{done}{wanted - filled} still {held}: " + "; ".join(why or ["not filled"]), False


def _alive(order: Optional[Order]) -> bool:
    return order is not None and is_alive(order)
