"""/replace ID PRICE: a working order cancelled, then the same order placed at the new price
once the broker confirmed the cancel. Not one step at the broker, so each way it can go is
told: the new order placed (what was left of the old one, if part of it filled), the old one
filled before its cancel (nothing placed), the cancel refused or not answered in time (nothing
placed, the old order as it is), the new order refused (the old one is gone all the same).

It waits on the engine's thread between its other work, like a flatten (moved on with it): it
asks for the cancel, and comes back when the order changes or `wait` seconds later. Nothing is
placed once a flatten started meanwhile, or once the operator cancelled the order himself.
"""
from dataclasses import dataclass, replace
from decimal import Decimal, InvalidOperation
from typing import Dict, Optional, Sequence

from zandor_trader.core.constants import Offset, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.trading import order_ids, replies
from zandor_trader.trading.confirming import ask_order, needs_confirming
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.trades import is_alive

REPLACE_WAIT = 10.0  # seconds the broker has to confirm the cancel
USAGE = ("Usage: /replace ID PRICE: the order's new limit or stop price, e.g. "
         "/replace F3CCA1DE 6851.50")


@dataclass
class _Job:
    old_id: str
    new: Order  # the same order at the new price, its quantity what was left when asked
    deadline: float
    flatten: object  # the orders' latest flatten when it began: another one stops it


class Replacing:
    """The replaces under way of `desk`'s orders (`orders`: its OrderRequests)."""

    KINDS = ("replace",)

    def __init__(self, desk: Desk, orders, wait: float = REPLACE_WAIT):
        self.desk = desk
        self.orders = orders
        self.wait = wait
        self.jobs: Dict[str, _Job] = {}
        orders.followers.append(self.advance)

    def replace(self, args: Sequence[str] = (), confirmed: bool = False) -> None:
        """The request: /replace's words."""
        reply = self.desk.reply
        if len(args) != 2:
            reply(USAGE)
            return
        old, why = self._order(str(args[0]))
        if old is None:
            reply(f"Replace refused: {why}")
            return
        new, why = self._new_order(old, str(args[1]))
        if new is None:
            reply(f"Replace refused: {why}")
            return
        if not confirmed and needs_confirming(new, self.desk.limits):
            ask_order(self.desk, new, lambda: self.replace(args, confirmed=True),
                      f"Replace order {old.order_id} ({replies.order_summary(old)}) with "
                      f"{replies.order_summary(new)}")
            return
        self._start(old, new)

    def _order(self, text: str):
        """(the working order `text` names, None) or (None, why not)."""
        trades = self.desk.gateway.trades
        order = trades.get(text)
        if order is None:
            found, candidates = order_ids.resolve(text, trades.order_ids())
            if candidates:
                return None, order_ids.ambiguous_text(text, candidates)
            order = trades.get(found) if found is not None else None
        if order is None:
            return None, f"{self.desk.gateway.gateway_name} has no order with id {text!r}."
        if not is_alive(order):
            return None, f"order {order.order_id} is {order.status.name}, not active."
        if order.order_id in self.jobs:
            return None, f"order {order.order_id} is being replaced already."
        if order.order_type not in (OrderType.LIMIT, OrderType.STOP):
            kind = replies.name(order.order_type)
            return None, f"order {order.order_id} is a {kind} order: it has no price to change."
        return order, None

    def _new_order(self, old: Order, text: str):
        """(the same order at the price `text`, None) or (None, why not)."""
        try:
            price = Decimal(text)
        except InvalidOperation:
            price = Decimal("NaN")
        if not price.is_finite() or price <= 0:
            return None, f"the new price must be a positive number, not {text!r}."
        field = "price" if old.order_type == OrderType.LIMIT else "stop_price"
        if getattr(old, field) is not None and Decimal(str(getattr(old, field))) == price:
            return None, f"order {old.order_id} is at {replies.price(price, old.security)} already."
        left = int(old.quantity) - int(old.filled_quantity or 0)
        offset = old.offset if old.offset in (Offset.OPEN, Offset.CLOSE) else Offset.OPEN
        new = Order(security=old.security, price=None, quantity=left, direction=old.direction,
                    offset=offset, order_type=old.order_type,
                    gateway_name=self.desk.gateway.gateway_name)
        setattr(new, field, price)
        return new, None

    def _start(self, old: Order, new: Order) -> None:
        """Checks the new order as if the old one were gone, then asks for the cancel."""
        reply, old_id = self.desk.reply, str(old.order_id)
        if self.orders.flattening is not None and not self.orders.flattening.done:
            reply(f"Replace refused: a flatten is under way; order {old_id} is left as it is.")
            return
        orders = self.orders  # the new order checked as if the old one were gone
        refusal = orders.connection_refusal() or orders.refusal(
            new, orders.market(new, excluding=[old_id]))
        if refusal:
            reply(f"Replace refused: {refusal}; order {old_id} is left as it is.")
            return
        gateway = self.desk.gateway
        gateway.change_refusal(old_id, forget=True)  # only this cancel's answer counts
        try:
            gateway.cancel_order(old_id)
        except Exception as exc:
            reply(f"Replace refused: the cancel of order {old_id} failed "
                  f"({type(exc).__name__}: {exc}); nothing placed.")
            return
        self.jobs[old_id] = _Job(old_id, new, self.desk.clock() + self.wait,
                                 self.orders.flattening)
        reply(f"Replace of order {old_id}: cancel requested; once the broker confirms it, the "
              f"same order is placed at {_level(new)}.")

    def drop(self, order_id: Optional[str] = None, why: str = "you cancelled it") -> None:
        """The replace of `order_id` (None: every one) is given up: nothing is placed."""
        for old_id in [order_id] if order_id is not None else list(self.jobs):
            if self.jobs.pop(str(old_id), None) is not None:
                self.desk.reply(f"Replace of order {old_id} given up: {why}; nothing is placed.")

    def advance(self, now: float) -> Optional[float]:
        """Moves each replace on as far as the broker's answers allow; the time one must be
        looked at again, None when none waits."""
        for old_id, job in list(self.jobs.items()):
            told = self._outcome(job, now)
            if told is not None:
                del self.jobs[old_id]
                self.desk.reply(told)
        return min((job.deadline for job in self.jobs.values()), default=None)

    def _outcome(self, job: _Job, now: float) -> Optional[str]:
        """What became of the replace, once something did; None while it waits."""
        old_id = job.old_id
        gone = f"Replace of order {old_id} not done: "
        old = self.desk.gateway.trades.get(old_id)
        if old is None:
            return gone + "the order is no longer tracked; nothing placed."
        if self.orders.flattening is not job.flatten:
            return gone + "a flatten came in between; nothing placed."
        if old.status == OrderStatus.FILLED:
            return (gone + f"it filled before its cancel ({old.filled_quantity} @ "
                    f"{replies.price(old.filled_avg_price, old.security)}); nothing placed.")
        if old.status == OrderStatus.CANCELLED:
            return self._place(job, old)
        if not is_alive(old):
            return gone + f"the broker ended it ({old.status.name}) before its cancel; " \
                          f"nothing placed."
        refused = self.desk.gateway.change_refusal(old_id)
        if refused is not None:
            return (gone + f"the broker refused its cancel ({refused}); the order still works "
                    f"at {_level(old)}; nothing placed.")
        if now >= job.deadline:
            return (gone + f"its cancel was not answered within {self.wait:g} s; nothing "
                    f"placed. The order may still be cancelled later: /orders shows it.")
        return None

    def _place(self, job: _Job, old: Order) -> str:
        left = int(old.quantity) - int(old.filled_quantity or 0)
        new = replace(job.new, quantity=left)
        placed, text = self.orders.try_place(new)
        part = (f" after {old.filled_quantity} of {old.quantity} filled: the {left} left"
                if left < int(old.quantity) else "")
        if placed:
            return f"{text}\nIt replaces order {job.old_id}, cancelled{part}."
        return f"{text}\nIt was to replace order {job.old_id}, which is cancelled{part}."


def _level(order: Order) -> str:
    value = order.price if order.order_type == OrderType.LIMIT else order.stop_price
    return replies.price(value, order.security) if value is not None else "-"

