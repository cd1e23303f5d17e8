"""Seeded random-walk market: the ticks of each instant and the bars before the clock started.

Everything here is a pure function of the seed and of how far it has been stepped, so one
seed gives one market whenever and wherever it runs.
"""
import datetime as _dt
import math
import random

from cqgsim import catalogue
from cqgsim import constants as C

ASK, BID, TRADE, SETTLEMENT = C.tptAsk, C.tptBid, C.tptTrade, C.tptSettlement


class Walk:
    """One instrument's order book top and trades, in whole ticks."""

    def __init__(self, spec: catalogue.Spec, seed: int):
        self.spec = spec
        self._rng = random.Random(f"{seed}/{spec.full_name}/walk")
        self._bid = max(1, round(spec.start_price / spec.tick_size))
        self._spread = 1
        self._bid_size = self._rng.randint(5, 60)
        self._ask_size = self._rng.randint(5, 60)
        self._first = True

    def _price(self, ticks: int) -> float:
        return round(ticks * self.spec.tick_size, 10)

    def step(self) -> list:
        """The ticks of the next instant: (price type, price, volume) tuples."""
        r = self._rng
        out = []
        if self._first:  # the book as it stands when the clock starts
            self._first = False
            out.append((BID, self._price(self._bid), self._bid_size))
            out.append((ASK, self._price(self._bid + self._spread), self._ask_size))
        if r.random() < 0.5:
            buy = r.random() < 0.5
            price = self._bid + self._spread if buy else self._bid
            out.append((TRADE, self._price(price), r.randint(1, 12)))
        move = r.random()
        bid, spread = self._bid, self._spread
        if move < 0.15:
            bid -= 1
        elif move < 0.30:
            bid += 1
        spread = 1 if r.random() < 0.92 else 2
        bid = max(1, bid)
        bid_size = r.randint(1, 80) if r.random() < 0.4 else self._bid_size
        ask_size = r.randint(1, 80) if r.random() < 0.4 else self._ask_size
        if bid != self._bid or bid_size != self._bid_size:
            out.append((BID, self._price(bid), bid_size))
        if bid + spread != self._bid + self._spread or ask_size != self._ask_size:
            out.append((ASK, self._price(bid + spread), ask_size))
        self._bid, self._spread = bid, spread
        self._bid_size, self._ask_size = bid_size, ask_size
        return out


class Market:
    """Every catalogue instrument's walk, stepped together one instant at a time."""

    def __init__(self, seed: int, start_utc: _dt.datetime, interval: float):
        self.walks = [Walk(spec, seed) for spec in catalogue.SPECS]
        self._start = start_utc
        self._interval = interval
        self.instants = 0  # instants generated so far

    def time_of(self, instant: int) -> _dt.datetime:
        return self._start + _dt.timedelta(microseconds=round(instant * self._interval * 1e6))

    def next_instant(self):
        """(UTC time, [(full name, ticks), ...]) of the next instant."""
        self.instants += 1
        when = self.time_of(self.instants)
        return when, [(w.spec.full_name, w.step()) for w in self.walks]


class BarData:
    """One bar as the market keeps it; prices are INVALID_VALUE until the first trade."""

    __slots__ = ("start", "open", "high", "low", "close", "volume", "ticks")

    def __init__(self, start, open_=C.INVALID_VALUE, high=C.INVALID_VALUE,
                 low=C.INVALID_VALUE, close=C.INVALID_VALUE, volume=0, ticks=0):
        self.start = start
        self.open, self.high, self.low, self.close = open_, high, low, close
        self.volume, self.ticks = volume, ticks

    def trade(self, price: float, volume: int) -> None:
        if self.ticks == 0 or self.open == C.INVALID_VALUE:
            self.open = self.high = self.low = price
        else:
            self.high = max(self.high, price)
            self.low = min(self.low, price)
        self.close = price
        self.volume += volume
        self.ticks += 1


class History:
    """Bars before the clock's start, generated backwards from the start price on demand."""

    def __init__(self, spec: catalogue.Spec, seed: int, period_key: str, first_start, step):
        self._spec = spec
        self._rng = random.Random(f"{seed}/{spec.full_name}/history/{period_key}")
        self._step = step  # start of the bar before a given bar start
        self._next_start = first_start  # start of the newest bar not generated yet
        self._price = round(spec.start_price / spec.tick_size)  # in ticks
        minutes = 1440 if period_key == "day" else int(period_key)
        self._moves = max(1, round(2 * math.sqrt(minutes)))
        self.bars = []  # newest first

    def _price_of(self, ticks: int) -> float:
        return round(max(1, ticks) * self._spec.tick_size, 10)

    def newest(self, count: int) -> list:
        """The ``count`` bars before the clock's start, oldest first."""
        r = self._rng
        while len(self.bars) < count:
            start = self._step(self._next_start)
            self._next_start = start
            close = self._price
            open_ = close + r.randint(-self._moves, self._moves)
            if r.random() < 0.02 and self._moves < 10:  # a quiet minute without a trade
                self.bars.append(BarData(start))
                continue
            high = max(open_, close) + r.randint(0, self._moves)
            low = min(open_, close) - r.randint(0, self._moves)
            volume = r.randint(20, 400) * (1 if self._moves < 10 else 300)
            self.bars.append(BarData(start, self._price_of(open_), self._price_of(high),
                                     self._price_of(low), self._price_of(close), volume,
                                     r.randint(5, 120)))
            self._price = open_
        return self.bars[count - 1::-1]
