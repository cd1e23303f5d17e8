"""Realized profit and loss as the journal keeps it: each deal booked against the position it
meets at its average price (as the broker books it), and the trading day it counts for.

A trading day closes at 16:00 exchange time; what trades after the close counts for the next
weekday (the CME group's markets reopen at 17:00 for the next day's session).
"""
import datetime as _dt
from decimal import Decimal
from typing import Dict, List, Optional, Tuple, Union

import pytz

CLOSE = _dt.time(16, 0)
# The clock each exchange keeps.
EXCHANGE_ZONES = {"CME": "America/Chicago", "CBOT": "America/Chicago",
                  "NYMEX": "America/Chicago", "COMEX": "America/Chicago",
                  "HKFE": "Asia/Hong_Kong", "SGX": "Asia/Singapore", "EUREX": "Europe/Berlin"}
DEFAULT_ZONE = "America/Chicago"


def zone_of(exchange: str):
    return pytz.timezone(EXCHANGE_ZONES.get(exchange, DEFAULT_ZONE))


def zone_name(exchange: str) -> str:
    """The exchange's clock as the operator reads it ("Chicago time")."""
    return EXCHANGE_ZONES.get(exchange, DEFAULT_ZONE).split("/")[-1].replace("_", " ") + " time"


def trading_day(moment: _dt.datetime, exchange: str, close: _dt.time = CLOSE) -> _dt.date:
    """The trading day an aware `moment` belongs to on `exchange`'s clock."""
    local = moment.astimezone(zone_of(exchange))
    day = local.date() + _dt.timedelta(days=1) if local.time() >= close else local.date()
    while day.weekday() >= 5:  # the weekend's trading counts for Monday
        day += _dt.timedelta(days=1)
    return day


def close_of(day: _dt.date, exchange: str, close: _dt.time = CLOSE) -> _dt.datetime:
    """The moment trading day `day` closes on `exchange`'s clock (aware)."""
    return zone_of(exchange).localize(_dt.datetime.combine(day, close))


class PositionBook:
    """Each instrument's signed position and average price, and what each deal realizes."""

    def __init__(self):
        self._held: Dict[Tuple[str, str], Tuple[int, float]] = {}

    def seed(self, symbol: str, exchange: str, position: int, average: float) -> None:
        self._held[(symbol, exchange)] = (int(position), float(average))

    def open_instruments(self) -> List[Tuple[str, str]]:
        """(symbol, exchange) of every instrument with a position."""
        return [key for key, (quantity, _) in self._held.items() if quantity]

    def held(self, symbol: str, exchange: str) -> Tuple[int, float]:
        return self._held.get((symbol, exchange), (0, 0.0))

    def book(self, symbol: str, exchange: str, signed_quantity: int, price: float,
             point_value: Optional[Union[float, Decimal]]) -> Tuple[Optional[float], int, float]:
        """Books a deal; returns (realized P&L, or None when the contract's point value is
        not known; the position after; its average price after)."""
        q, average = self.held(symbol, exchange)
        realized = 0.0
        if q == 0 or (q > 0) == (signed_quantity > 0):
            total = abs(q) + abs(signed_quantity)
            average = (abs(q) * average + abs(signed_quantity) * price) / total if total else 0.0
        else:
            closed = min(abs(q), abs(signed_quantity))
            realized = closed * (price - average) * (1 if q > 0 else -1)
            if abs(signed_quantity) > abs(q):
                average = price  # reversed: the rest opens at the deal's price
            elif abs(signed_quantity) == abs(q):
                average = 0.0
        after = q + signed_quantity
        self._held[(symbol, exchange)] = (after, average)
        if point_value is None:
            return None, after, average
        return round(realized * float(point_value), 2), after, average
