"""Reconciling with the broker when a session starts: the working orders and positions found
are adopted and listed to the operator in one message, and fills the broker reports that the
journal lacks are journaled and announced there once, marked as made while the session was
down."""
from typing import List, Optional, Set

from zandor_trader.core.order import Deal
from zandor_trader.trading import replies
from zandor_trader.trading.trades import is_alive

DOWN_MARK = "made while the session was down"


def reconcile(gateway, known_deals: Set[str], record=None) -> Optional[str]:
    """Adopts the account's working orders the session does not track, and finds the fills
    not in `known_deals` (the journal's deal ids); `record(deal)` journals each such fill.
    Returns the message for the operator, None when there is nothing to tell."""
    trades = gateway.trades
    adopted: List = []
    missed: List[Deal] = []
    for found in gateway.broker_orders():
        order, order_id = found.order, found.order.order_id
        if not trades.knows(order_id) and is_alive(order):
            kept, _ = trades.adopt(order, order_id)
            adopted.append(kept)
        for fill in found.fills:
            if str(fill["deal_id"]) in known_deals:
                continue
            deal = Deal(deal_id=fill["deal_id"], order_id=order_id, security=order.security,
                        direction=order.direction, filled_avg_price=fill["filled_avg_price"],
                        filled_quantity=fill["filled_quantity"],
                        updated_time=fill["updated_time"], gateway_name=gateway.gateway_name)
            missed.append(deal)
    missed.sort(key=lambda d: (d.updated_time is None, d.updated_time, str(d.deal_id)))
    for deal in missed:
        if record is not None:
            record(deal)
    trades.restore_deals(missed)
    positions = gateway.query_positions()
    if not (adopted or missed or positions):
        return None
    lines = ["Found at the broker on starting:",
             f"Working orders: {len(adopted)}"] + [replies.order_line(o) for o in adopted]
    lines.append(f"Open positions: {len(positions)}")
    lines += [replies.position_line(gateway.gateway_name, p) for p in positions]
    if missed:
        lines.append(f"Deals {DOWN_MARK}: {len(missed)}")
        lines += [f"Deal ({DOWN_MARK}): {replies.deal_line(d)}" for d in missed]
    return "\n".join(lines)
