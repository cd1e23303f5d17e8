"""The conversions of settings from their text (the settings file, the environment, the
command line). Their messages never repeat the value: whoever reports the error shows it, or
hides it (a secret, a line of the settings file)."""
import datetime as _dt
import math
from decimal import Decimal, InvalidOperation
from typing import Callable, Optional, Sequence, Tuple

from zandor_trader.app.secrecy import Secret


def text(value: str) -> str:
    value = value.strip()
    if not value:
        raise ValueError("must not be empty")
    return value


def integer(value: str) -> int:
    try:
        return int(value.strip())
    except ValueError:
        raise ValueError("must be a whole number") from None


def whole(minimum: int) -> Callable[[str], int]:
    def parse(value: str) -> int:
        number = integer(value)
        if number < minimum:
            raise ValueError(f"must be at least {minimum}")
        return number
    return parse


def number(minimum: float, above: bool = False) -> Callable[[str], float]:
    def parse(value: str) -> float:
        try:
            amount = float(value.strip())
        except ValueError:
            raise ValueError("must be a number") from None
        if not math.isfinite(amount) or (amount <= minimum if above else amount < minimum):
            raise ValueError(f"must be a number {'above' if above else 'of at least'} "
                             f"{minimum:g}")
        return amount
    return parse


def decimal(value: str) -> Decimal:
    try:
        amount = Decimal(value.strip())
    except InvalidOperation:
        raise ValueError("must be a number") from None
    if not amount.is_finite() or amount <= 0:
        raise ValueError("must be a positive number")
    return amount


def money_or_off(value: str) -> Optional[Decimal]:
    """An amount of money, or "off" (no limit)."""
    if value.strip().lower() in ("off", "none", "no"):
        return None
    return decimal(value)


def count_or_off(value: str) -> Optional[int]:
    """A whole number from 0, or "off" (none)."""
    if value.strip().lower() in ("off", "none", "no"):
        return None
    return whole(0)(value)


def yes_no(value: str) -> bool:
    word = value.strip().lower()
    if word in ("yes", "true", "on", "1"):
        return True
    if word in ("no", "false", "off", "0"):
        return False
    raise ValueError("must be yes or no")


def daily(value: str) -> Optional[_dt.time]:
    value = value.strip().lower()
    if value == "off":
        return None
    try:
        return _dt.time.fromisoformat(value)
    except ValueError:
        raise ValueError("must be a time of day (HH:MM, exchange time) or off") from None


def symbols(value: str) -> Tuple[str, ...]:
    names = tuple(n.strip() for n in value.split(",") if n.strip())
    if not names:
        raise ValueError("give at least one instrument")
    return names


def choice(options: Sequence[str]) -> Callable[[str], str]:
    def parse(value: str) -> str:
        value = value.strip().lower()
        if value not in options:
            raise ValueError(f"must be one of {', '.join(options)}")
        return value
    return parse


def secret(value: str) -> Secret:
    if not value.strip():
        raise ValueError("must not be empty")
    return Secret(value.strip())
