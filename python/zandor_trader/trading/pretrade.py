"""Pre-trade checks: what an order must satisfy before the engine hands it to the gateway.

Each check returns the reason for refusing, worded for the operator, or None. Prices are
compared as the exact decimals the operator typed, never as binary floats.
"""
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Optional

from zandor_trader.core.constants import Direction, OrderType
from zandor_trader.core.order import Order

# Which prices each order type carries, by the Order field.
PRICED = {OrderType.LIMIT: ("price",), OrderType.STOP: ("stop_price",),
          OrderType.MARKET: ()}
SIGN = {Direction.LONG: 1, Direction.SHORT: -1}


@dataclass(frozen=True)
class Limits:
    max_order_quantity: int = 10     # contracts in one order
    max_position: int = 20           # contracts held in one instrument, long or short
    price_band: Decimal = Decimal(5)  # percent of the last price a limit or stop may be off


@dataclass(frozen=True)
class Market:
    """What the checks need to know of the order's instrument."""
    tick_size: Optional[Decimal]
    last_price: Optional[Decimal]
    position: int  # signed: long positive
    working_long: int  # quantity of working buy orders
    working_short: int
    max_position: int


def check_order(order: Order, market: Market, limits: Limits) -> Optional[str]:
    return (check_quantity(order, limits) or check_prices(order, market, limits)
            or check_position(order, market))


def check_quantity(order: Order, limits: Limits) -> Optional[str]:
    q = order.quantity
    if not isinstance(q, int) or isinstance(q, bool) or q <= 0:
        return f"quantity must be a positive whole number, not {q!r}"
    if q > limits.max_order_quantity:
        return (f"quantity {q} is above the limit of {limits.max_order_quantity} "
                f"contracts per order")
    return None


def check_prices(order: Order, market: Market, limits: Limits) -> Optional[str]:
    for name in PRICED.get(order.order_type, ()):
        refusal = check_price(name, getattr(order, name), order, market, limits)
        if refusal:
            return refusal
    return None


def check_price(name: str, value, order: Order, market: Market, limits: Limits) -> Optional[str]:
    if not isinstance(value, Decimal):
        try:
            value = Decimal(str(value))
        except InvalidOperation:
            return f"{name} {value!r} is not a number"
    if not value.is_finite() or value <= 0:
        return f"{name} must be a positive finite number, not {value}"
    last = market.last_price
    if last is None or last <= 0:
        return f"{name} cannot be checked: no last price of {order.security} yet"
    try:
        off = abs(value - last) * 100 / last
    except ArithmeticError:  # too large for the decimal context (1E+999999999): far off
        off = Decimal("Infinity")
    if off > limits.price_band:
        # Far off is far off: a huge distance is not written out to its last digit.
        distance = f"{off:.1f}%" if off < 10_000 else "more than 10,000%"
        return (f"{name} {value} is {distance} from the last price {last} of {order.security} "
                f"(at most {limits.price_band}%)")
    tick = market.tick_size
    if tick is None or tick <= 0:
        return f"{name} cannot be checked: the tick size of {order.security} is not known"
    try:
        on_grid = value % tick == 0
    except InvalidOperation:
        on_grid = False
    if not on_grid:
        return f"{name} {value} is not a multiple of the tick size {tick} of {order.security}"
    return None


def check_position(order: Order, market: Market) -> Optional[str]:
    """The position if the order and every working order on its side filled."""
    sign = SIGN.get(order.direction)
    if sign is None:
        return f"direction {order.direction} is not supported"
    working = market.working_long if sign > 0 else market.working_short
    after = market.position + sign * (working + order.quantity)
    if abs(after) > market.max_position and abs(after) > abs(market.position):
        side = "long" if after > 0 else "short"
        return (f"it could take the position in {order.security} to {abs(after)} {side} "
                f"(now {market.position:+d}, working {working} on that side; "
                f"at most {market.max_position})")
    return None
