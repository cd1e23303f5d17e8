"""/buy and /sell as the operator writes them, turned into an Order or refused:

    /buy SYMBOL QTY               a market order
    /buy SYMBOL QTY @PRICE        a limit order ("@ PRICE" too)
    /sell SYMBOL QTY stop PRICE   a stop order

The symbol as the settings name it (ES) or as the broker does (EPZ5), in any letter case; the
gateway is the session's. Whether it opens or closes is decided when it is served, against the
position then (see fast_lane). Quantities and prices are read as in the order string.
"""
from typing import Callable, Optional, Sequence

from zandor_trader.core.constants import Direction, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.trading.order_string import OrderStringError, parse_price, parse_quantity

SIDES = {"buy": Direction.LONG, "sell": Direction.SHORT}
EXAMPLES = {"buy": "/buy ES 2 @6850.25", "sell": "/sell EPZ5 1 stop 6840"}


def usage(side: str) -> str:
    return (f"Usage: /{side} SYMBOL QTY [@PRICE | stop PRICE]: at market without a price, a "
            f"limit with @PRICE, a stop with stop PRICE; e.g. {EXAMPLES[side]}")


class ShortOrderError(ValueError):
    """The command cannot become an order; the message is the whole answer."""


def parse_short_order(side: str, words: Sequence[str],
                      find_security: Callable[[str], Optional[Security]], gateway_name: str,
                      known: Sequence[str] = ()) -> Order:
    """The order of `/side words...`; `known` names the instruments traded, for a refusal."""
    words = [str(w) for w in words]
    if len(words) < 2:
        raise ShortOrderError(usage(side))
    symbol, quantity, rest = words[0], words[1], words[2:]
    order_type, price_text = _kind(rest)
    if order_type is None:
        raise ShortOrderError(usage(side))
    security = find_security(symbol)
    if security is None:
        trades = f" (it trades {', '.join(known)})" if known else ""
        raise ShortOrderError(f"Order refused: {symbol!r} is not traded in this "
                              f"session{trades}.")
    try:
        order = Order(security=security, price=None, quantity=parse_quantity(quantity),
                      direction=SIDES[side], order_type=order_type, gateway_name=gateway_name)
        if order_type == OrderType.LIMIT:
            order.price = parse_price("price", price_text, True, order_type)
        elif order_type == OrderType.STOP:
            order.stop_price = parse_price("stop_price", price_text, True, order_type)
    except OrderStringError as exc:
        raise ShortOrderError(f"Order refused: {exc}.") from None
    return order


def _kind(rest: Sequence[str]):
    """(order type, its price as written) of the words after the quantity; (None, "") when
    they are none of the forms."""
    if not rest:
        return OrderType.MARKET, ""
    if len(rest) == 1 and rest[0].startswith("@") and len(rest[0]) > 1:
        return OrderType.LIMIT, rest[0][1:]
    if len(rest) == 2 and rest[0] == "@":
        return OrderType.LIMIT, rest[1]
    if len(rest) == 2 and rest[0].lower() == "stop":
        return OrderType.STOP, rest[1]
    return None, ""
