"""The live market: it moves by itself, and one seed always gives one event stream."""
import datetime as dt

import win32com.client

import cqgsim
from cqgsim import catalogue
from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots


def _subscribe_all(host):
    host.cel.NewInstrument("EPZ5")
    host.sim.sync()
    host.cel.Instruments.Item(0).DataSubscriptionLevel = C.dsQuotesAndBBA
    ticks = win32com.client.Dispatch(host.cel.CreateTicksRequest())
    ticks.Symbol, ticks.Limit = "ENQZ5", 20
    host.cel.RequestTicks(ticks)
    bars = win32com.client.Dispatch(host.cel.CreateTimedBarsRequest())
    bars.Symbol, bars.RangeStart, bars.RangeEnd, bars.IntradayPeriod = "CLEF6", 0, -11, 1
    host.cel.RequestTimedBars(bars)


def _session(seed):
    cqgsim.configure(mode="live", seed=seed, speed=0)
    with ComponentHost(Snapshots) as host:
        host.start()
        _subscribe_all(host)
        host.sim.advance(150)
        host.sim.sync()
        return list(host.sink.events)


def test_one_seed_gives_one_event_stream():
    first = _session(7)
    names = [n for n, _ in first]
    assert names.count("OnTicksAdded") > 100 and names.count("OnTimedBarsAdded") == 2
    assert names.count("OnInstrumentChanged") > 100
    assert _session(7) == first
    assert _session(8) != first


def test_a_running_clock_moves_the_market_by_itself():
    cqgsim.configure(mode="live", seed=3, speed=600.0)  # a minute bar every 0.1 s
    with ComponentHost(Snapshots) as host:
        host.start()
        _subscribe_all(host)
        host.sink.wait_for("OnTimedBarsAdded", count=2)
        host.sink.wait_for("OnTicksAdded", count=5)
        quotes = host.sink.wait_for("OnInstrumentChanged", count=5)
        assert {q[0] for _, qs in quotes for q in qs} >= {C.qtBid, C.qtAsk}
        host.sim.set_speed(60.0)


class _Books(Snapshots):
    """Follows each instrument's best bid and offer tick by tick, counting the moments the
    book was locked or crossed."""

    def __init__(self):
        super().__init__()
        self.best = {}
        self.bad = []
        self.seen = 0

    def _OnTicksAdded(self, ticks, n):
        symbol = ticks.Request.Symbol
        bid, ask = self.best.get(symbol, (None, None))
        count = ticks.Count
        for i in range(count - n, count):
            t = ticks.Item(i)
            if t.PriceType == C.tptBid:
                bid = t.Price
            elif t.PriceType == C.tptAsk:
                ask = t.Price
            else:
                continue
            self.seen += 1
            if bid is not None and ask is not None and bid >= ask:
                self.bad.append((symbol, bid, ask))
        self.best[symbol] = (bid, ask)
        return n


def test_no_moment_of_the_live_book_is_locked_or_crossed():
    cqgsim.configure(mode="live", seed=11, speed=0)
    with ComponentHost(_Books) as host:
        host.start()
        for spec in catalogue.SPECS:
            req = win32com.client.Dispatch(host.cel.CreateTicksRequest())
            req.Symbol, req.Limit, req.TickFilter = spec.symbol, 50, C.tfBBA
            host.cel.RequestTicks(req)
        host.sim.advance(600)
        host.sim.sync()
        assert host.sink.seen > 5000 and host.sink.bad == []


def _minutes(host, symbol, lookback):
    req = win32com.client.Dispatch(host.cel.CreateTimedBarsRequest())
    req.Symbol, req.RangeStart, req.RangeEnd, req.IntradayPeriod = symbol, 0, -lookback - 1, 1
    bars = host.cel.RequestTimedBars(req)
    host.sim.sync()
    host.cel.RemoveTimedBars(bars)
    return host.sink.of("OnTimedBarsResolved")[-1][2][:-1]


def test_history_and_live_market_are_one_model_and_each_contract_trades_like_itself():
    # 10:30 in Chicago: the hour before and the hour after are both the busy day session.
    cqgsim.configure(mode="live", seed=4, speed=0, start=dt.datetime(2025, 12, 1, 16, 30))
    with ComponentHost(Snapshots) as host:
        host.start()
        before = {s.symbol: _minutes(host, s.symbol, 30) for s in catalogue.SPECS}
        host.sim.advance(1800)
        after = {s.symbol: _minutes(host, s.symbol, 30) for s in catalogue.SPECS}
        for spec in catalogue.SPECS:
            old, new = before[spec.symbol], after[spec.symbol]
            old_volume = sum(b[5] for b in old)
            new_volume = sum(b[5] for b in new)
            assert 0.6 < new_volume / old_volume < 1.6, spec.symbol
            ranges = [sum(b[2] - b[3] for b in bars) / len(bars) for bars in (old, new)]
            assert 0.5 < ranges[1] / ranges[0] < 2.0, spec.symbol
        # Crude oil moves more for its price than the Nasdaq future, the note far less.
        share = {s: sum(b[2] - b[3] for b in after[s]) / len(after[s]) / after[s][-1][4]
                 for s in ("CLEF6", "ENQZ5", "TYAH6")}
        assert share["CLEF6"] > share["ENQZ5"] > share["TYAH6"]
