"""Market data on the component's thread: each instrument's quotes, recent ticks and bars,
the instruments, ticks and bars requests, and the events that deliver them."""
import collections
import datetime as _dt

from cqgsim import catalogue
from cqgsim import constants as C
from cqgsim.bars import TimedBars
from cqgsim import hours
from cqgsim.book import Book
from cqgsim.market import BarData, DailyHistory, MinuteHistory, aggregate
from cqgsim.objects import Instrument, Quote, Quotes
from cqgsim.ticks import Tick, Ticks

BBA = frozenset({C.qtBid, C.qtAsk})
ALL_QUOTE_TYPES = tuple(C.ENUMS["eQuoteType"].values())
_MINUTE = _dt.timedelta(minutes=1)
INVALID = C.INVALID_VALUE
MAX_BARS = 10_000
DAY_HORIZON = 9  # trading days made of minute bars; older days come from the daily model


def _merge_newer(bar, newer):
    """Adds a bar's trades that came after everything ``bar`` holds."""
    if newer.open == INVALID:
        return
    if bar.open == INVALID:
        bar.open, bar.high, bar.low = newer.open, newer.high, newer.low
    else:
        bar.high, bar.low = max(bar.high, newer.high), min(bar.low, newer.low)
    bar.close = newer.close
    bar.volume += newer.volume
    bar.ticks += newer.ticks


class Series:
    """One instrument's bars of one period: the bars before the clock started, the bars
    completed since, and the forming bar. Bars longer than a minute are made of the minute
    bars they cover, so every period tells the same story; a day is the contract's trading
    day (see hours.py). Only open market time has bars."""

    def __init__(self, market, key, now, seed_until=None):
        self.key = key
        self.day = key == "day"
        self.length = None if self.day else _dt.timedelta(minutes=int(key))
        self._market = market
        self.forming = BarData(self.floor(now))
        self.completed = collections.deque(maxlen=MAX_BARS)
        self._fixed = None  # history given by a script
        self._boundary_of = self._boundary = None
        # The minutes from the forming bar's start up to here are taken in when first read.
        self._seed_until = seed_until
        self._derived = []  # bars before the clock started (longer periods), newest first
        self._aggregated = []  # the part of them made of minute bars
        self._minutes_done = False
        self._daily = None  # the daily model beyond the minutes

    def floor(self, t):
        """Start of the bar that holds ``t`` (of the next one when the market is closed)."""
        if self.day:
            return hours.day_start(hours.trading_date(t))
        step = int(self.length.total_seconds())
        midnight = _dt.datetime(t.year, t.month, t.day)
        seconds = int((t - midnight).total_seconds())
        start = midnight + _dt.timedelta(seconds=seconds - seconds % step)
        while not self._open(start):
            start += self.length
        return start

    def _open(self, start):
        return hours.is_open(start) or hours.is_open(start + self.length - _MINUTE)

    def end(self, start):
        if self.day:
            return hours.day_end(hours.trading_date(start))
        return start + self.length

    def label(self, data):
        """The trading date of a daily bar."""
        d = hours.trading_date(data.start)
        return _dt.datetime(d.year, d.month, d.day)

    def next_boundary(self):
        if self._boundary_of is not self.forming:  # asked on every step: kept per bar
            self._boundary_of, self._boundary = self.forming, self.end(self.forming.start)
        return self._boundary

    def set_history(self, bars):
        """Replaces the bars before the clock started: BarData objects, oldest first."""
        start = self.forming.start
        for data in reversed(bars):
            start = self.previous(start)
            data.start = start
        self._fixed = _Fixed(list(bars))

    def previous(self, start):
        """Start of the bar before the one starting at ``start``."""
        if self.day:
            return hours.day_start(hours.previous_date(hours.trading_date(start)))
        return start - self.length

    def seed(self):
        if self._seed_until is not None:
            until, self._seed_until = self._seed_until, None
            for b in self._market.minutes_before(until):
                if b.start < self.forming.start:
                    break
                self.forming.add_before(b)

    def roll(self):
        self.seed()
        self.completed.append(self.forming)
        self.forming = BarData(self.floor(self.end(self.forming.start)))

    def newest(self, count):
        """The newest ``count`` bars, oldest first, the forming bar last."""
        self.seed()
        done = list(self.completed)[-(count - 1):] if count > 1 else []
        missing = count - 1 - len(done)
        older = self._history(missing) if missing > 0 else []
        return older + done + [self.forming]

    def _history(self, count):
        if self._fixed is not None:
            return self._fixed.newest(count)
        if self.key == "1":
            return self._market.history.newest(count)
        self._derive(count)
        return self._derived[:count][::-1]

    def _derive(self, count):
        """Groups the minutes before the forming bar into bars of this period; days beyond
        the horizon come from the daily model, chained to the oldest day made of minutes."""
        if len(self._derived) >= count:
            return
        limit = min(count, DAY_HORIZON) if self.day else count
        if not self._minutes_done and len(self._aggregated) < limit:
            self._aggregated = []
            bucket, group = None, []
            for b in self._market.minutes_before(self.forming.start):
                s = self.floor(b.start)
                if s != bucket:
                    if group:
                        self._aggregated.append(aggregate(bucket, group))
                        if len(self._aggregated) >= limit:
                            break
                    bucket, group = s, []
                group.append(b)
            else:
                # The minutes ran out: a bar cut by the horizon is not whole; a script's
                # history is all there is.
                if group and self._fixed_minutes():
                    self._aggregated.append(aggregate(bucket, group))
                self._minutes_done = True
            if self.day and len(self._aggregated) >= DAY_HORIZON:
                self._minutes_done = True
        self._derived = list(self._aggregated)
        if self.day and len(self._derived) < count:
            if self._daily is None:
                oldest = self._derived[-1] if self._derived else self.forming
                opening = oldest.open if oldest.open != INVALID else self._market.spec.start_price
                self._daily = DailyHistory(
                    self._market.spec, self._market.seed, self._market.interval,
                    hours.previous_date(hours.trading_date(oldest.start)), opening)
            self._derived.extend(b for _, b in self._daily.draw(count - len(self._derived)))

    def _fixed_minutes(self):
        return self._market.series["1"]._fixed is not None


class _Fixed:
    """History given by a script; there is no more of it than was given."""

    def __init__(self, bars):
        self._bars = bars

    def newest(self, count):
        return self._bars[-count:]

    def iter_newest(self):
        return reversed(self._bars)


class MarketState:
    """One instrument's market as the component sees it."""

    def __init__(self, spec, seed, clock, interval):
        self.spec = spec
        self.seed = seed
        self.interval = interval
        self._clock = clock
        self.history = MinuteHistory(spec, seed, interval, clock.now)
        today = hours.day_start(hours.trading_date(clock.now))
        settled = self.history.close_before(today)
        # quote type -> [price, volume, local timestamp]; absent types are not valid
        self.quotes = {C.qtYesterdaySettlement: [
            spec.start_price if settled is None else settled, 0, clock.local(clock.now)]}
        self.recent = collections.deque(maxlen=1000)
        self.series = {}
        for key in ("1", "day"):
            self.series_for(key, lazy=True)
        self.instrument = None  # the resolved Instrument, if any
        self.ticks = []  # active Ticks collections
        self.bars = []  # active TimedBars collections
        self.working = {}  # GUID -> working order on this market, in the order accepted
        self.book = Book(self)

    def series_for(self, key, lazy=False):
        s = self.series.get(key)
        if s is None:
            now = self._clock.now
            minute = self.series.get("1")
            cut = minute.forming.start if minute is not None else now
            s = self.series[key] = Series(self, key, now,
                                          seed_until=None if key == "1" else cut)
            if minute is not None and key != "1" and not lazy:
                # Asked for after the clock started: the minutes so far, then the one forming.
                s.seed()
                if minute.forming.start >= s.forming.start:
                    _merge_newer(s.forming, minute.forming)
        return s

    def minutes_before(self, t):
        """Minute bars that started before ``t``, newest first: those completed since the
        clock started, then the history."""
        minute = self.series["1"]
        for b in reversed(list(minute.completed)):
            if b.start < t:
                yield b
        source = minute._fixed if minute._fixed is not None else self.history
        for b in source.iter_newest():
            if b.start is None or b.start < t:
                yield b

    def best(self, quote_type):
        q = self.quotes.get(quote_type)
        return None if q is None else q[0]

    def quote(self, quote_type):
        q = self.quotes.get(quote_type)
        if q is None:
            return Quote(quote_type, 0.0, 0, False, None)
        return Quote(quote_type, q[0], q[1], True, q[2])

    def quotes_snapshot(self, types):
        return [self.quote(t) for t in (ALL_QUOTE_TYPES if types is None else types)]

    def set_quote(self, quote_type, price, volume, stamp):
        if price is None:
            self.quotes.pop(quote_type, None)
        else:
            self.quotes[quote_type] = [price, volume, stamp]

    def apply(self, raw, stamp):
        """Applies (price type, price, volume) ticks; returns (Tick objects, changed quote
        types, whether a trade happened)."""
        ticks = []
        changed = []
        traded = False
        for price_type, price, volume in raw:
            ticks.append(Tick(price_type, price, volume, stamp))
            if price_type == C.tptAsk:
                self.quotes[C.qtAsk] = [price, volume, stamp]
                changed.append(C.qtAsk)
            elif price_type == C.tptBid:
                self.quotes[C.qtBid] = [price, volume, stamp]
                changed.append(C.qtBid)
            elif price_type == C.tptTrade:
                traded = True
                self.quotes[C.qtTrade] = [price, volume, stamp]
                changed.append(C.qtTrade)
                for s in self.series.values():
                    s.forming.trade(price, volume)
                high, low = self.quotes.get(C.qtDayHigh), self.quotes.get(C.qtDayLow)
                if C.qtDayOpen not in self.quotes:
                    # The day's figures so far: it began before the clock did.
                    day = self.series["day"]
                    day.seed()
                    f = day.forming
                    self.quotes[C.qtDayOpen] = [f.open, 0, stamp]
                    changed.append(C.qtDayOpen)
                    high, low = [f.high, 0, stamp], [f.low, 0, stamp]
                    self.quotes[C.qtDayHigh], self.quotes[C.qtDayLow] = high, low
                    changed += [C.qtDayHigh, C.qtDayLow]
                if price > high[0]:
                    self.quotes[C.qtDayHigh] = [price, 0, stamp]
                    changed.append(C.qtDayHigh)
                if price < low[0]:
                    self.quotes[C.qtDayLow] = [price, 0, stamp]
                    changed.append(C.qtDayLow)
            elif price_type == C.tptSettlement:
                self.quotes[C.qtSettlement] = [price, volume, stamp]
                changed.append(C.qtSettlement)
        self.recent.extend(ticks)
        return ticks, list(dict.fromkeys(changed)), traded

    def new_day(self, stamp):
        """Settles the day that ended; returns the settlement tick or None."""
        last = self.quotes.get(C.qtTrade) or self.quotes.get(C.qtSettlement)
        for t in (C.qtDayOpen, C.qtDayHigh, C.qtDayLow, C.qtSettlement):
            self.quotes.pop(t, None)
        if last is None:
            return None
        self.quotes[C.qtYesterdaySettlement] = [last[0], 0, stamp]
        return (C.tptSettlement, last[0], 0)


class MarketData:
    """Requests for instruments, ticks and bars, and delivery of market events."""

    def __init__(self, core):
        self._core = core
        clock = core.clock
        self.markets = {s.full_name: MarketState(s, core.config.seed, clock,
                                                 core.config.tick_interval)
                        for s in catalogue.SPECS}
        self._ids = 0

    def _next_id(self, prefix):
        self._ids += 1
        return f"{prefix}{self._ids}"

    def market(self, symbol):
        spec = catalogue.find(symbol)
        return None if spec is None else self.markets[spec.full_name]

    # -- instruments ---------------------------------------------------------------------
    def resolve_instrument(self, symbol):
        core = self._core
        market = self.market(symbol)
        if market is None:
            core.fire("OnInstrumentResolved", symbol, None,
                      core.error(101, f"Unknown symbol: {symbol}"))
            return
        if market.instrument is None:
            market.instrument = Instrument(core, market)
            core.instruments.append_item(market.instrument)
        core.fire("OnInstrumentResolved", symbol, market.instrument, None)

    def fail_instrument(self, symbol, error):
        self._core.fire("OnInstrumentResolved", symbol, None, error)

    def remove_instrument(self, instrument):
        market = instrument.market_state
        if market.instrument is instrument:
            market.instrument = None
        self._core.instruments.remove_item(instrument)

    def level_changed(self, instrument, old):
        """Raising the level delivers the instrument's quotes as they stand."""
        new = instrument.DataSubscriptionLevel
        market = instrument.market_state
        if market.instrument is not instrument or new <= old:
            return
        if new >= C.dsQuotes and self._core.data_up:
            types = [t for t in ALL_QUOTE_TYPES
                     if (new >= C.dsQuotesAndBBA or t not in BBA) and t in market.quotes]
            self.fire_quotes(instrument, types)

    def fire_quotes(self, instrument, types):
        """OnInstrumentChanged with the quotes of ``types`` (all of them in the mode that
        sends every quote)."""
        if not self._core.api.NewInstrumentChangeMode:
            types = None  # every quote, valid or not
        elif not types:
            return
        quotes = Quotes(self._core, instrument.market_state.quotes_snapshot(types))
        self._core.fire("OnInstrumentChanged", instrument, quotes, None)

    # -- ticks ---------------------------------------------------------------------------
    def check_ticks_request(self, request):
        if not isinstance(request.Limit, int) or request.Limit <= 0:
            return "Limit must be a positive integer"
        if request.TickFilter not in C.ENUMS["eTicksFilter"].values():
            return f"Unknown tick filter {request.TickFilter!r}"
        if request.Type != C.trtCurrentNotify:
            return "Only current ticks with notifications are available"
        if self.market(request.Symbol) is None:
            return f"Unknown symbol: {request.Symbol}"
        return None

    def new_ticks(self, request):
        market = self.market(request.Symbol) if isinstance(request.Symbol, str) else None
        return Ticks(self._core, request, market, self._next_id("T"))

    def ticks_refused(self, ticks, problem):
        self.ticks_failed(ticks, self._core.error(102, problem))

    def ticks_failed(self, ticks, error):
        self.remove_ticks(ticks)
        self._core.fire("OnTicksResolved", ticks, error)

    def resolve_ticks(self, ticks):
        market = ticks.market_state
        ticks.start_with(list(market.recent))
        market.ticks.append(ticks)
        self._core.fire("OnTicksResolved", ticks, None)

    def remove_ticks(self, ticks):
        ticks.deactivate()
        market = ticks.market_state
        if market is not None and ticks in market.ticks:
            market.ticks.remove(ticks)
        self._core.all_ticks.remove_item(ticks)

    # -- bars ----------------------------------------------------------------------------
    def check_bars_request(self, request):
        if self.market(request.Symbol) is None:
            return f"Unknown symbol: {request.Symbol}"
        if request.HistoricalPeriod is not None:
            if request.HistoricalPeriod != C.hpDaily:
                return "Only daily historical bars are available"
        elif not (isinstance(request.IntradayPeriod, int) and 1 <= request.IntradayPeriod <= 1440):
            return f"Unknown intraday period {request.IntradayPeriod!r}"
        if not isinstance(request.RangeStart, int) or request.RangeStart != 0:
            return "RangeStart must be 0 (the forming bar)"
        if not isinstance(request.RangeEnd, int) or not -MAX_BARS <= request.RangeEnd < 0:
            return f"RangeEnd must be between {-MAX_BARS} and -1"
        return None

    def new_bars(self, request, valid=True):
        series, size = None, 0
        if valid:
            market = self.market(request.Symbol)
            key = "day" if request.HistoricalPeriod is not None else str(request.IntradayPeriod)
            series = market.series_for(key)
            size = request.RangeStart - request.RangeEnd  # the bar at RangeEnd is excluded
        return TimedBars(self._core, request, series, self._next_id("B"), size)

    def bars_refused(self, bars, problem):
        self.bars_failed(bars, self._core.error(103, problem))

    def bars_failed(self, bars, error):
        self.remove_bars(bars)
        self._core.fire("OnTimedBarsResolved", bars, error)

    def _bar(self, bars, data):
        series = bars.bar_series
        stamp = series.label(data) if series.day else self._core.clock.local(data.start)
        return bars.new_bar(data, stamp)

    def resolve_bars(self, bars):
        series = bars.bar_series
        bars.start_with([self._bar(bars, d) for d in series.newest(bars.size_wanted)])
        self._market_of(bars).bars.append(bars)
        self._core.fire("OnTimedBarsResolved", bars, None)

    def _market_of(self, bars):
        return self.market(bars.Request.Symbol)

    def remove_bars(self, bars):
        bars.deactivate()
        market = self._market_of(bars) if bars.bar_series is not None else None
        if market is not None and bars in market.bars:
            market.bars.remove(bars)
        self._core.all_timed_bars.remove_item(bars)

    # -- the clock -----------------------------------------------------------------------
    def next_boundary(self):
        return min(s.next_boundary() for m in self.markets.values() for s in m.series.values())

    def advance(self, target, then=None):
        """Moves the clock to ``target``, one step per bar boundary and per alarm; ``then()``
        runs in the step that reaches it."""
        core = self._core
        boundary = self.next_boundary()
        due = core.alarms.next_due()
        if due is not None and due <= target and due < boundary:
            core.set_time(due)
            for alarm in core.alarms.take_due(core.clock.now):
                core.seq.then(alarm.fn, *alarm.args)
            core.seq.then(self.advance, target, then)
            return
        if boundary <= target:
            core.set_time(boundary)
            rolled = [(m, s) for m in self.markets.values() for s in m.series.values()
                      if s.next_boundary() <= boundary]
            self._close_bars(rolled)
            core.seq.then(self._open_bars, rolled, target, then)
            return
        core.set_time(target)
        if then is not None:
            then()

    def _listening(self, market, series):
        return [b for b in market.bars if b.bar_series is series and b.sends_updates]

    def _close_bars(self, rolled):
        """First half of a bar boundary: the forming bar is final, the oldest bar goes."""
        for market, series in rolled:
            for bars in self._listening(market, series):
                bars.refresh_forming()
                if bars.is_full():
                    bars.drop_oldest()
                    self._core.fire("OnTimedBarsRemoved", bars, 0)

    def _open_bars(self, rolled, target, then):
        """Second half: the new forming bar is added; a new day settles the old one."""
        core = self._core
        stamp = core.clock.local(core.clock.now)
        for market, series in rolled:
            series.roll()
            for bars in self._listening(market, series):
                bars.append_bar(self._bar(bars, series.forming))
                core.fire("OnTimedBarsAdded", bars)
            if series.key == "day":
                settlement = market.new_day(stamp)
                changed = [C.qtYesterdaySettlement, C.qtDayOpen, C.qtDayHigh, C.qtDayLow,
                           C.qtSettlement]
                ticks = [settlement] if settlement else []
                self._deliver(market, ticks, changed, stamp, traded=False, applied=True)
        core.seq.then(self.advance, target, then)

    # -- market updates ------------------------------------------------------------------
    def apply(self, market, raw, own=False):
        """Applies ticks at the current time and delivers what changed; ``own``: the
        account's own trades, already matched."""
        stamp = self._core.clock.local(self._core.clock.now)
        self._deliver(market, raw, None, stamp, traded=None, applied=False, own=own)

    def _deliver(self, market, raw, changed, stamp, traded, applied, own=False):
        core = self._core
        if applied:
            ticks = [Tick(t, p, v, stamp) for t, p, v in raw]
            market.recent.extend(ticks)
        else:
            ticks, changed, traded = market.apply(raw, stamp)
        if core.data_up:
            self._publish(market, ticks, changed, traded)
        if not own:
            # The market data of the instant goes out before the fills it causes.
            core.trading.market_moved(market, raw)

    def _publish(self, market, ticks, changed, traded):
        core = self._core
        inst = market.instrument
        level = inst.DataSubscriptionLevel if inst is not None else C.dsNone
        if level >= C.dsQuotes and changed:
            types = changed if level >= C.dsQuotesAndBBA else [t for t in changed if t not in BBA]
            self.fire_quotes(inst, types)
        if ticks:
            for coll in market.ticks:
                self._add_ticks(coll, coll.accepted(ticks))
        if traded:
            for bars in market.bars:
                if bars.sends_updates:
                    core.fire("OnTimedBarsUpdated", bars, bars.refresh_forming())

    def _add_ticks(self, coll, new):
        if not new:
            return
        drop = coll.room_for(len(new))
        if drop:
            # Dropping and adding are two events; the handler of each sees its own state.
            coll.drop_oldest(drop)
            self._core.fire("OnTicksRemoved", coll, drop - 1)
            self._core.seq.then(self._append_ticks, coll, new)
            return
        self._append_ticks(coll, new)

    def _append_ticks(self, coll, new):
        if coll.is_active:
            coll.append_ticks(new)
            self._core.fire("OnTicksAdded", coll, len(new))
