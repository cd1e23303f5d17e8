"""Market data records: quotes, level-1 order books and bars."""
from dataclasses import dataclass
from datetime import datetime
from typing import Optional

from zandor_trader.core.constants import Exchange
from zandor_trader.core.security import Security


@dataclass
class Quote:
    security: Optional[Security] = None
    exchange: Optional[Exchange] = None
    datetime: Optional[datetime] = None
    last_price: float = 0
    last_volume: float = 0
    bid_price: float = 0
    bid_volume: float = 0
    ask_price: float = 0
    ask_volume: float = 0
    open_price: float = 0
    high_price: float = 0
    low_price: float = 0
    prev_close_price: float = 0


@dataclass
class OrderBook:
    security: Optional[Security] = None
    exchange: Optional[Exchange] = None
    datetime: Optional[datetime] = None
    bid_price_1: float = 0
    bid_volume_1: float = 0
    ask_price_1: float = 0
    ask_volume_1: float = 0


@dataclass
class Bar:
    datetime: Optional[datetime] = None
    security: Optional[Security] = None
    open: float = 0
    high: float = 0
    low: float = 0
    close: float = 0
    volume: float = 0
