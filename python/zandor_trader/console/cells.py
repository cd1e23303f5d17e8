"""What the cells of the display's tables say: prices with their contract's decimals, money,
counts, times and ages, short ids."""
import datetime

from zandor_trader.trading import prices

PRICE, SIZE, SYMBOL, ID = 10, 8, 7, 8  # column widths: prices, sizes, symbols, order ids


def price(value, security, zero_is_none: bool = False) -> str:
    if zero_is_none and not value:
        return "-"
    return prices.format_price(value, security)


def money(value) -> str:
    return prices.format_number(value, 2, grouped=True) if value is not None else "-"


def count(value) -> str:
    return prices.format_number(value, grouped=False) if value is not None else "-"


def time_of_day(value, with_seconds: bool = True) -> str:
    if value is None:
        return "-"
    return value.strftime("%H:%M:%S" if with_seconds else "%H:%M")


def age(stamp) -> str:
    """How long ago a quote changed (its stamp is the local clock's)."""
    if stamp is None:
        return "-"
    seconds = max((datetime.datetime.now() - stamp).total_seconds(), 0)
    for unit, size in (("h", 3600), ("m", 60)):
        if seconds >= size:
            return f"{int(seconds // size)}{unit}"
    return f"{int(seconds)}s"


def duration(seconds: float) -> str:
    """A span of time as HH:MM:SS (none below zero)."""
    seconds = max(int(seconds), 0)
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def short_id(order_id) -> str:
    """Enough of an order id to tell orders apart on screen; any prefix of it cancels."""
    return str(order_id).strip("{}")[:8]


def many(n: int, thing: str) -> str:
    return f"{n} {thing}" + ("" if n == 1 else "s")


def code(security) -> str:
    return security.code if security is not None else "-"
