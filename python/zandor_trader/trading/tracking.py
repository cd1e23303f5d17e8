"""Orders the broker has that the session did not place, tracked like its own: adopted when
they show up, and placements that timed out kept as of unknown outcome until the broker's
order shows up (then it is theirs) or it is certain that it was not placed.

Certain means: the gateway connection stayed up for `settle_after` seconds after the time-out
(a drop restarts the wait: events may have been missed) and then the broker's own list of the
account's orders, read from the component, holds no order like it that the session does not
track already. Every order the broker has for the account is in that list, so an order missing
from it after that long was not placed.
"""
from typing import Callable, List, Optional

from zandor_trader.trading import replies
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.trades import TimedOut, is_alive

SETTLE_AFTER = 60.0  # seconds after a placement's time-out before "not placed" is certain


def placement_text(order) -> str:
    """An order as the operator asked for it: "EPZ5 LONG 2 LIMIT 6850.00"."""
    text = f"{order.security.code} {replies.name(order.direction)} {order.quantity} " \
           f"{replies.name(order.order_type)}"
    for value in (order.price, order.stop_price):
        if value is not None:
            text += f" {replies.price(value, order.security)}"
    return text


def timed_out_text(order) -> str:
    """What the operator is told of a placement that timed out (the gateway keeps it)."""
    return (f"Placement of {placement_text(order)} timed out: its outcome is not known yet. "
            f"The session watches the broker for it: it is tracked once the broker shows it, "
            f"or reported as not placed.")


class OrderTracking:
    def __init__(self, desk: Desk, clock: Callable[[], float],
                 settle_after: float = SETTLE_AFTER):
        self.desk = desk
        self.clock = clock
        self.settle_after = settle_after


    def adopt_unknown(self) -> List[str]:
        """Learns the orders the broker reported that the session does not track, and tells
        the operator of each; returns their ids."""
        gateway = self.desk.gateway
        adopted = []
        for order_id in gateway.unknown_orders():
            found = gateway.broker_order(order_id)
            if found is None:  # another account's, or gone before it could be read
                continue
            _, placement = gateway.trades.adopt(found.order, order_id)
            adopted.append(order_id)
            if placement is not None:  # an end it has met already is told as any other
                self.desk.reply(f"Placement of {placement_text(placement.order)} timed out; "
                                f"the broker has it as {order_id}, now tracked")
            elif is_alive(found.order):
                self.desk.reply(f"Order entered elsewhere, now tracked: "
                                f"{replies.order_line(found.order)}")
        return adopted

    def due(self) -> Optional[float]:
        """When the oldest placement of unknown outcome may be settled (the engine's clock)."""
        pending = self.desk.gateway.trades.timed_out()
        for p in pending:
            if p.since is None:  # watched from now on
                p.since = self.clock()
        return min(p.since for p in pending if p.since is not None) + self.settle_after \
            if pending else None

    def settle(self, now: float) -> None:
        """Settles the placements whose wait is over, as the broker's order list says."""
        gateway = self.desk.gateway
        self.due()
        ripe = [p for p in gateway.trades.timed_out()
                if p.since is not None and p.since + self.settle_after <= now]
        if not ripe:
            return
        if not gateway.link_up() or any(p.link_drops != gateway.link_drops for p in ripe):
            for p in ripe:  # the broker may have told and not been heard: wait once more
                p.since, p.link_drops = now, gateway.link_drops
            return
        for order_id in self._untracked_ids():
            gateway.order_seen(order_id)
        self.adopt_unknown()
        for placement in ripe:
            if gateway.trades.settle(placement):
                self._not_placed(placement)

    def _untracked_ids(self) -> List[str]:
        trades = self.desk.gateway.trades
        return [b.order.order_id for b in self.desk.gateway.broker_orders()
                if not trades.knows(b.order.order_id)]

    def _not_placed(self, placement: TimedOut) -> None:
        self.desk.reply(f"Placement of {placement_text(placement.order)} timed out and was "
                        f"not placed: the broker has no such order {self.settle_after:g} s "
                        f"after the time-out.")
