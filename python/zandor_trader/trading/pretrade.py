"""Pre-trade checks: what an order must satisfy before the engine hands it to the gateway.

Each check returns the reason for refusing, worded for the operator, or None. Prices are
compared as the exact decimals the operator typed, never as binary floats.
"""
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Optional

from zandor_trader.core.constants import Direction, Offset, OrderType
from zandor_trader.core.order import Order
from zandor_trader.trading import prices

# Which prices each order type carries, by the Order field.
PRICED = {OrderType.LIMIT: ("price",), OrderType.STOP: ("stop_price",),
          OrderType.MARKET: ()}
SIGN = {Direction.LONG: 1, Direction.SHORT: -1}


@dataclass(frozen=True)
class Limits:
    max_order_quantity: int = 10     # contracts in one order
    max_position: int = 20           # contracts held in one instrument, long or short
    price_band: Decimal = Decimal(5)  # percent of the last price a limit or stop may be off
    # Money the trading day may lose (realized and open) before only orders that reduce risk
    # are taken; None: no limit.
    max_daily_loss: Optional[Decimal] = None
    flatten_on_loss: bool = False  # flatten the account when the daily loss limit is reached
    # An order of more contracts than this waits for the operator's confirmation; None: none.
    confirm_above: Optional[int] = None


@dataclass(frozen=True)
class Market:
    """What the checks need to know of the order's instrument."""
    tick_size: Optional[Decimal]
    last_price: Optional[Decimal]
    position: int  # signed: long positive
    working_long: int  # quantity of working buy orders
    working_short: int
    max_position: int

    def working_on(self, direction) -> int:
        return self.working_long if direction == Direction.LONG else self.working_short


def check_order(order: Order, market: Market, limits: Limits) -> Optional[str]:
    return (check_quantity(order, limits) or check_prices(order, market, limits)
            or check_stop_side(order, market) or check_close(order, market)
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


def check_stop_side(order: Order, market: Market) -> Optional[str]:
    """A stop waits for the market to move to it: a buy stop above the last price, a sell
    stop below it. On the wrong side it would trade at once, at the market."""
    last = market.last_price
    if order.order_type != OrderType.STOP or last is None or order.stop_price is None:
        return None
    stop = Decimal(str(order.stop_price))
    wrong = stop <= last if order.direction == Direction.LONG else stop >= last
    if not wrong:
        return None
    side, where = (("buy", "above") if order.direction == Direction.LONG else ("sell", "below"))
    shown = prices.format_price(stop, order.security)
    return (f"a {side} stop must be {where} the last price: stop_price {shown} is at or "
            f"{'below' if where == 'above' else 'above'} the last price "
            f"{prices.format_price(last, order.security)} of {order.security}")


def held_text(position: int) -> str:
    if not position:
        return "flat"
    return f"{'long' if position > 0 else 'short'} {abs(position)}"


def check_close(order: Order, market: Market) -> Optional[str]:
    """An order marked close may only reduce the position, and, with the working orders on its
    side, not take it through zero into the other side."""
    sign = SIGN.get(order.direction)
    if order.offset != Offset.CLOSE or sign is None:
        return None
    position, quantity = market.position, order.quantity
    verb = "buying" if sign > 0 else "selling"
    if position * sign >= 0:
        effect = "open a position" if not position else "increase it"
        return (f"a close order must reduce a position: {order.security} is "
                f"{held_text(position)}, {verb} {quantity} would {effect}")
    working = market.working_on(order.direction)
    room = abs(position) - working
    if quantity <= room:
        return None
    on_side = f" with {working} working on that side" if working else ""
    closes = f"{room} would close it" if room > 0 else         "the working orders on that side close it already"
    return (f"{verb} {quantity} would take {order.security} from {held_text(position)} through "
            f"zero{on_side}: {closes}")


def reduces_risk(order: Order, market: Market) -> bool:
    """Whether the order, with the working orders on its side, only makes the position smaller
    (never through zero)."""
    sign = SIGN.get(order.direction)
    if sign is None or market.position * sign >= 0:
        return False
    return market.working_on(order.direction) + order.quantity <= abs(market.position)
