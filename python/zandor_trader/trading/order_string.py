"""The operator's order string: eight comma-separated fields turned into an Order, or refused.

    security_code,quantity,direction,offset,order_type,gateway_name,price,stop_price
    EPZ5,2,l,o,l,CQG,6850.25,None

direction l (long) or s (short); offset o (open) or c (close); order_type m (market),
l (limit) or s (stop); "None" where a price does not apply: a market order takes neither
price, a limit order a price only, a stop order a stop price only. Letter case does not
matter in the one-letter fields, "None" and the security code. Prices are kept as the exact
decimals typed (Decimal), quantities as whole numbers.
"""
from decimal import Decimal, InvalidOperation
from typing import Callable, Optional

from zandor_trader.core.constants import Direction, Offset, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security

FIELDS = ("security_code", "quantity", "direction", "offset", "order_type", "gateway_name",
          "price", "stop_price")
_DIRECTIONS = {"l": Direction.LONG, "s": Direction.SHORT}
_OFFSETS = {"o": Offset.OPEN, "c": Offset.CLOSE}
_TYPES = {"m": OrderType.MARKET, "l": OrderType.LIMIT, "s": OrderType.STOP}
# Which of price and stop_price each order type needs; the other must be "None".
_PRICES = {OrderType.MARKET: (False, False), OrderType.LIMIT: (True, False),
           OrderType.STOP: (False, True)}


class OrderStringError(ValueError):
    """The order string is malformed; the message says what is wrong, for the operator."""


def parse_order_string(text: str, find_security: Callable[[str], Optional[Security]],
                       gateway_names) -> Order:
    """The Order that `text` describes. `find_security` maps a security code to a traded
    security (or None); `gateway_names` are the gateways an order may go to."""
    fields = [f.strip() for f in text.split(",")]
    if len(fields) != len(FIELDS):
        raise OrderStringError(
            f"an order string has {len(FIELDS)} comma-separated fields ({','.join(FIELDS)}), "
            f"this one has {len(fields)}")
    code, quantity, direction, offset, kind, gateway_name, price, stop_price = fields

    # Checked in field order, so the reply names the first wrong field.
    security = find_security(code) if code else None
    if security is None:
        raise OrderStringError(f"security_code {code!r} is not traded in this session")
    order = Order(security=security, price=None, quantity=parse_quantity(quantity),
                  direction=_choice("direction", direction, _DIRECTIONS),
                  offset=_choice("offset", offset, _OFFSETS),
                  order_type=_choice("order_type", kind, _TYPES), gateway_name=gateway_name)
    if gateway_name not in gateway_names:
        known = ", ".join(sorted(gateway_names)) or "none"
        raise OrderStringError(f"gateway_name {gateway_name!r} is unknown (gateways: {known})")
    wants_price, wants_stop = _PRICES[order.order_type]
    order.price = parse_price("price", price, wants_price, order.order_type)
    order.stop_price = parse_price("stop_price", stop_price, wants_stop, order.order_type)
    return order


def _choice(name, value, table):
    try:
        return table[value.lower()]
    except KeyError:
        allowed = " or ".join(table)
        raise OrderStringError(f"{name} must be {allowed}, not {value!r}") from None


def parse_quantity(value: str) -> int:
    if not (value.isascii() and value.isdigit()) or int(value) <= 0:
        raise OrderStringError(f"quantity must be a positive whole number, not {value!r}")
    return int(value)


def parse_price(name: str, value: str, wanted: bool, order_type: OrderType) -> Optional[Decimal]:
    kind = order_type.name.lower()
    if not wanted:
        if value.lower() != "none":
            raise OrderStringError(f"a {kind} order takes no {name}: give None, not {value!r}")
        return None
    try:
        number = Decimal(value)
    except InvalidOperation:
        number = Decimal("NaN")
    if not number.is_finite() or number <= 0:
        raise OrderStringError(f"a {kind} order needs {name} as a positive number, not {value!r}")
    return number
