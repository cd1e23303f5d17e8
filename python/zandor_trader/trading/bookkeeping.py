"""Deals into the journal with what they realized: each booked against the position it meets,
counted for its trading day on its exchange's clock."""
import datetime as _dt
import functools
from typing import Dict, Optional, Tuple

from zandor_trader.core.constants import Direction
from zandor_trader.core.order import Deal
from zandor_trader.trading import journal_reads, pnl
from zandor_trader.trading.journal import Journal
from zandor_trader.trading.journal_tables import BROKER_ZONE

SIGN = {Direction.LONG: 1, Direction.SHORT: -1}


class Bookkeeping:
    """`point_value(security)` gives money per point of a security's price (None: unknown)."""

    def __init__(self, journal: Journal, point_value):
        self.journal = journal
        self.point_value = point_value
        self.book = pnl.PositionBook()
        for h in journal_reads.holdings(journal.path):  # where the last session left them
            self.book.seed(h.symbol, h.exchange, h.position, h.average_price)

    def record(self, deal: Deal, while_down: bool = False) -> Optional[float]:
        """Journals `deal`; returns what it realized (None when it cannot be priced)."""
        security, sign = deal.security, SIGN.get(deal.direction) if deal.direction else None
        if security is None or sign is None:  # an order never learnt: kept as reported
            self.journal.deal(deal, while_down=while_down)
            return None
        exchange = security.exchange.value
        realized, position, average = self.book.book(
            security.code, exchange, sign * int(deal.filled_quantity), float(deal.filled_avg_price),
            self.point_value(security))
        day = trading_day_of(deal.updated_time, exchange)
        self.journal.deal(deal, day.isoformat() if day else None, realized, position, average,
                          while_down)
        return realized

    def align(self, positions) -> None:
        """The broker's positions are the truth: where the book differs (positions taken
        while nothing was journaled), it starts over from them."""
        held: Dict[Tuple[str, str], Tuple[int, float]] = {}
        for p in positions:
            key = (p.security.code, p.security.exchange.value)
            quantity = SIGN.get(p.direction, 0) * int(p.quantity)
            held[key] = (held.get(key, (0, 0.0))[0] + quantity, float(p.holding_price or 0))
        for symbol, exchange in set(held) | set(self.book.open_instruments()):
            position, average = held.get((symbol, exchange), (0, 0.0))
            if self.book.held(symbol, exchange)[0] != position:
                self.book.seed(symbol, exchange, position, average)


def trading_day_of(moment: Optional[_dt.datetime], exchange: str) -> Optional[_dt.date]:
    """The trading day of a time the component reported (China time, no zone)."""
    if moment is None:
        return None
    aware = moment if moment.tzinfo is not None else moment.replace(tzinfo=BROKER_ZONE)
    # Days turn at a whole minute: every deal of one minute has the same day.
    return _day_of_minute(aware.replace(second=0, microsecond=0), exchange)


@functools.lru_cache(maxsize=256)
def _day_of_minute(minute: _dt.datetime, exchange: str) -> _dt.date:
    return pnl.trading_day(minute, exchange)
