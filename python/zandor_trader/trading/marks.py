"""What an open position is worth now: its instrument's last price and its open P&L at that
price, for the operator's listings and the display."""
from decimal import Decimal
from typing import Optional, Tuple

from zandor_trader.core.position import PositionData
from zandor_trader.trading.pretrade import SIGN


def mark(gateway, position: PositionData) -> Tuple[Optional[Decimal], Optional[float]]:
    """(the last price, the open P&L) of `position` on `gateway` (a CqgGateway); None for
    what is not known (no price yet, or a contract whose value per point the component did
    not give)."""
    last = gateway.last_price(position.security)
    point = gateway.point_value(position.security)
    sign = SIGN.get(position.direction) if position.direction is not None else None
    if last is None or point is None or sign is None:
        return last, None
    average = Decimal(repr(float(position.holding_price or 0)))
    return last, float((last - average) * point * sign * int(position.quantity or 0))
