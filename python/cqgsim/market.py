"""The seeded market model: the live book and trades of each instant, and the bars before the
clock started, both drawn from one set of per-contract figures (see catalogue.py).

Everything here is a pure function of the seed and of how far it has been stepped, so one
seed gives one market whenever and wherever it runs.

Prices move as a random walk whose variance per instant is the contract's usual daily range
spread over the trading day, weighted by how busy the market is (the day session against
overnight); prints come at the rate that gives the contract's usual daily volume at its usual
trade size. The bars before the clock started are drawn a minute at a time from the same
figures, so nothing jumps when the clock starts.
"""
import datetime as _dt
import math
import random

from cqgsim import catalogue
from cqgsim import constants as C
from cqgsim import hours

ASK, BID, TRADE, SETTLEMENT = C.tptAsk, C.tptBid, C.tptTrade, C.tptSettlement
INVALID = C.INVALID_VALUE
_MINUTE = _dt.timedelta(minutes=1)
MINUTE_HORIZON = 15 * 1380  # open minutes of history at most (about 15 trading days)
RANGE_TO_SIGMA = 1.6  # a random walk's expected range over a span is about 1.6 standard deviations


class Params:
    """The per-instant figures of one contract's walk."""

    def __init__(self, spec: catalogue.Spec, interval: float):
        self.spec = spec
        tick = spec.tick_size
        self.day_sigma = spec.daily_range * spec.start_price / RANGE_TO_SIGMA / tick  # ticks
        instants = hours.EFFECTIVE_SECONDS / interval
        self.variance = self.day_sigma ** 2 / instants  # ticks squared per busy instant
        prints = spec.daily_volume / spec.trade_size / instants
        self.print_chance = min(0.95, prints)
        self.print_size = spec.daily_volume / instants / self.print_chance
        self.per_minute = 60.0 / interval  # instants a minute

    def size(self, r) -> int:
        """Contracts of one print."""
        mean = self.print_size
        return 1 if mean <= 1.05 else 1 + round(r.expovariate(1.0 / (mean - 1.0)))

    def depth(self, r) -> int:
        """Contracts shown at one price level."""
        return max(1, int(self.spec.top_size * (0.25 + 1.5 * r.random())))

    def move(self, r, activity) -> int:
        v = self.variance * activity
        if v < 0.5:
            x = r.random()
            return 1 if x < v / 2 else -1 if x < v else 0
        return round(r.gauss(0.0, math.sqrt(v)))


class Walk:
    """One instrument's best bid and offer and its prints, in whole ticks."""

    def __init__(self, spec: catalogue.Spec, seed: int, interval: float):
        self.spec = spec
        self.params = Params(spec, interval)
        self._rng = random.Random(f"{seed}/{spec.full_name}/walk")
        self._bid = max(1, round(spec.start_price / spec.tick_size))
        self._spread = 1
        self._bid_size = self.params.depth(self._rng)
        self._ask_size = self.params.depth(self._rng)
        self._first = True
        self._gap = 0  # ticks the market is to jump at its next open instant

    def _price(self, ticks: int) -> float:
        return round(ticks * self.spec.tick_size, 10)

    def shift(self, ticks: int) -> None:
        """Jumps by ``ticks`` at the next open instant (a drill's price gap)."""
        self._gap += ticks

    def _jump(self) -> list:
        """The ticks of a gap: the side moving away first, then a print where it ends."""
        ticks, self._gap = self._gap, 0
        self._bid = max(1, self._bid + ticks)
        bid = (BID, self._price(self._bid), self._bid_size)
        ask = (ASK, self._price(self._bid + self._spread), self._ask_size)
        size = max(1, round(self.spec.trade_size))
        if ticks > 0:
            return [ask, bid, (TRADE, ask[1], size)]
        return [bid, ask, (TRADE, bid[1], size)]

    def step(self, activity: float) -> list:
        """The ticks of the next instant: (price type, price, volume) tuples; ``activity`` 0
        when the market is closed. Within the instant no intermediate book is locked or
        crossed: when the bid moves up to or through the old offer, the offer goes first.
        An instant with a gap to make is the gap alone."""
        r = self._rng
        p = self.params
        out = []
        if self._first:  # the book as it stands when the clock starts
            self._first = False
            out.append((BID, self._price(self._bid), self._bid_size))
            out.append((ASK, self._price(self._bid + self._spread), self._ask_size))
        if activity <= 0:
            return out
        if self._gap:
            return out + self._jump()
        if r.random() < p.print_chance * activity:
            buy = r.random() < 0.5
            price = self._bid + self._spread if buy else self._bid
            out.append((TRADE, self._price(price), p.size(r)))
        bid = max(1, self._bid + p.move(r, activity))
        # A wide spread lasts a while (four instants on average), as often as the contract
        # shows one.
        w = self.spec.wide_share
        stay = 0.75
        wide = r.random() < (stay if self._spread > 1 else w * (1 - stay) / (1 - w))
        spread = 2 if wide else 1
        bid_size = p.depth(r) if bid != self._bid or r.random() < 0.4 else self._bid_size
        ask_size = (p.depth(r) if bid + spread != self._bid + self._spread or r.random() < 0.4
                    else self._ask_size)
        side_bid = side_ask = None
        if bid != self._bid or bid_size != self._bid_size:
            side_bid = (BID, self._price(bid), bid_size)
        if bid + spread != self._bid + self._spread or ask_size != self._ask_size:
            side_ask = (ASK, self._price(bid + spread), ask_size)
        first, second = ((side_ask, side_bid) if bid >= self._bid + self._spread
                         else (side_bid, side_ask))
        if first:
            out.append(first)
        if second:
            out.append(second)
        self._bid, self._spread = bid, spread
        self._bid_size, self._ask_size = bid_size, ask_size
        return out


class Market:
    """Every catalogue instrument's walk, stepped together one instant at a time."""

    def __init__(self, seed: int, start_utc: _dt.datetime, interval: float):
        self.walks = [Walk(spec, seed, interval) for spec in catalogue.SPECS]
        self._by_name = {w.spec.full_name: w for w in self.walks}
        self._start = start_utc
        self._interval = interval
        self.instants = 0  # instants generated so far

    def time_of(self, instant: int) -> _dt.datetime:
        return self._start + _dt.timedelta(microseconds=round(instant * self._interval * 1e6))

    def next_instant(self, gaps=None):
        """(UTC time, [(full name, ticks), ...]) of the next instant; ``gaps``: {full name:
        ticks} to jump by, at that instant or, while the market is closed, at its reopening."""
        for name, ticks in (gaps or {}).items():
            self._by_name[name].shift(ticks)
        self.instants += 1
        when = self.time_of(self.instants)
        activity = hours.activity(when) if hours.is_open(when) else 0.0
        return when, [(w.spec.full_name, w.step(activity)) for w in self.walks]


class BarData:
    """One bar as the market keeps it; prices are INVALID_VALUE until the first trade."""

    __slots__ = ("start", "open", "high", "low", "close", "volume", "ticks")

    def __init__(self, start, open_=INVALID, high=INVALID, low=INVALID, close=INVALID,
                 volume=0, ticks=0):
        self.start = start
        self.open, self.high, self.low, self.close = open_, high, low, close
        self.volume, self.ticks = volume, ticks

    def trade(self, price: float, volume: int) -> None:
        if self.ticks == 0 or self.open == INVALID:
            self.open = self.high = self.low = price
        else:
            self.high = max(self.high, price)
            self.low = min(self.low, price)
        self.close = price
        self.volume += volume
        self.ticks += 1

    def add_before(self, older: "BarData") -> None:
        """Takes in a bar that came before everything this one holds."""
        if older.open == INVALID and older.close == INVALID:
            self.volume += max(0, older.volume)
            return
        if self.open == INVALID:
            self.open, self.high, self.low, self.close = (
                older.open, older.high, older.low, older.close)
        else:
            self.open = older.open if older.open != INVALID else self.open
            if older.high != INVALID:
                self.high = max(self.high, older.high)
            if older.low != INVALID:
                self.low = min(self.low, older.low)
        self.volume += max(0, older.volume)
        self.ticks += max(0, older.ticks)


def aggregate(start, newest_first) -> BarData:
    """One bar holding the given bars (newest first)."""
    bar = BarData(start)
    for b in newest_first:
        bar.add_before(b)
    return bar


class MinuteHistory:
    """Minute bars before the clock's start (open minutes only), newest first, drawn backwards
    from the start price: each bar closes where the next one opens."""

    def __init__(self, spec: catalogue.Spec, seed: int, interval: float, start_utc):
        self._spec = spec
        self._p = Params(spec, interval)
        self._path = random.Random(f"{seed}/{spec.full_name}/history/path")
        self._detail = random.Random(f"{seed}/{spec.full_name}/history/detail")
        self._before = start_utc.replace(second=0, microsecond=0)  # older than every bar left
        self._price = round(spec.start_price / spec.tick_size)  # opening of the newest bar made
        self.starts, self.opens, self.closes = [], [], []  # newest first, prices in ticks
        self.bars = []  # BarData of the first len(bars) minutes

    def _price_of(self, ticks):
        return round(max(1, ticks) * self._spec.tick_size, 10)

    def _grow(self):
        s = self._before = hours.last_open_before(self._before)
        sd = math.sqrt(self._p.variance * hours.activity(s) * self._p.per_minute)
        close = self._price
        open_ = max(1, close - round(self._path.gauss(0.0, sd)))
        self.starts.append(s)
        self.opens.append(open_)
        self.closes.append(close)
        self._price = open_

    def reach(self, count=None, since=None):
        """Draws the path until ``count`` minutes, or every minute from ``since`` on, are known
        (never beyond the horizon)."""
        while len(self.starts) < MINUTE_HORIZON:
            if count is not None and len(self.starts) >= count:
                return
            if since is not None and self.starts and self.starts[-1] < since:
                return
            self._grow()

    def close_before(self, t):
        """The close of the last minute that started before ``t``, in price (None: none)."""
        self.reach(since=t)
        for s, c in zip(self.starts, self.closes):
            if s < t:
                return self._price_of(c)
        return None

    def bar(self, k) -> BarData:
        """The k-th minute before the start (0 is the newest)."""
        self.reach(count=k + 1)
        r, p = self._detail, self._p
        while len(self.bars) <= k and len(self.bars) < len(self.starts):
            i = len(self.bars)
            act = hours.activity(self.starts[i])
            o, c = self.opens[i], self.closes[i]
            sd = math.sqrt(p.variance * act * p.per_minute)
            mean = p.per_minute * p.print_chance * act
            prints = max(1, round(r.gauss(mean, math.sqrt(mean))))
            volume = max(prints, round(prints * p.print_size * (0.6 + 0.8 * r.random())))
            high = max(o, c) + round(abs(r.gauss(0.0, sd / 2)))
            low = min(o, c) - round(abs(r.gauss(0.0, sd / 2)))
            if high == low and prints > 1 and r.random() < 1 - 0.5 ** (prints - 1):
                # Prints at the bid and at the offer: the bar spans the spread.
                if r.random() < 0.5:
                    high += 1
                else:
                    low -= 1
            self.bars.append(BarData(self.starts[i], self._price_of(o), self._price_of(high),
                                     self._price_of(low), self._price_of(c), volume, prints))
        return self.bars[k] if k < len(self.bars) else None

    def newest(self, count) -> list:
        """The ``count`` newest minutes, oldest first (fewer beyond the horizon)."""
        out = []
        for k in range(count):
            b = self.bar(k)
            if b is None:
                break
            out.append(b)
        out.reverse()
        return out

    def since(self, t) -> list:
        """The minutes that started at or after ``t``, newest first."""
        self.reach(since=t)
        out = []
        k = 0
        while k < len(self.starts) and self.starts[k] >= t:
            out.append(self.bar(k))
            k += 1
        return out

    def iter_newest(self):
        k = 0
        while True:
            b = self.bar(k)
            if b is None:
                return
            yield b
            k += 1


class DailyHistory:
    """Daily bars older than the minute history, drawn backwards from a day's opening."""

    def __init__(self, spec, seed, interval, newest_date, open_price):
        self._spec = spec
        self._p = Params(spec, interval)
        self._rng = random.Random(f"{seed}/{spec.full_name}/history/day")
        self._date = newest_date  # date of the next bar to draw
        self._price = round(open_price / spec.tick_size)
        self.bars = []  # (date, BarData), newest first

    def _price_of(self, ticks):
        return round(max(1, ticks) * self._spec.tick_size, 10)

    def draw(self, count):
        r, p, spec = self._rng, self._p, self._spec
        while len(self.bars) < count:
            close = self._price
            sd = p.day_sigma
            open_ = max(1, close - round(r.gauss(0.0, sd)))
            high = max(open_, close) + round(abs(r.gauss(0.0, sd / 2)))
            low = min(open_, close) - round(abs(r.gauss(0.0, sd / 2)))
            volume = round(spec.daily_volume * (0.6 + 0.8 * r.random()))
            bar = BarData(hours.day_start(self._date), self._price_of(open_), self._price_of(high),
                          self._price_of(low), self._price_of(close), volume,
                          round(volume / spec.trade_size))
            self.bars.append((self._date, bar))
            self._price = open_
            self._date = hours.previous_date(self._date)
        return self.bars[:count]
