"""Instruments and quotes, ticks and timed bars, and their scripted failures."""
import datetime as dt

import win32com.client

import cqgsim

from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots

INVALID = C.INVALID_VALUE


def _host():
    return ComponentHost(Snapshots)


def _subscribe(host, symbol="EPZ5", level=C.dsQuotesAndBBA):
    host.cel.NewInstrument(symbol)
    host.sim.sync()
    inst = next(i for i in host.cel.Instruments if i.FullName.endswith(symbol))
    inst.DataSubscriptionLevel = level
    return inst


def test_instruments_resolve_by_symbol_and_unknown_ones_carry_an_error():
    with _host() as host:
        host.start()
        for symbol in ("EPZ5", "F.US.CLEF6", "GCE", "NOPE"):
            host.cel.NewInstrument(symbol)
        host.sim.sync()
        resolved = host.sink.of("OnInstrumentResolved")
        assert [r[:2] for r in resolved] == [("EPZ5", "F.US.EPZ5"), ("F.US.CLEF6", "F.US.CLEF6"),
                                             ("GCE", "F.US.GCEG6"), ("NOPE", None)]
        assert resolved[3][2][1] == "Unknown symbol: NOPE" and resolved[0][2] is None
        assert [i.FullName for i in host.cel.Instruments] == [
            "F.US.EPZ5", "F.US.CLEF6", "F.US.GCEG6"]


def test_raising_the_level_delivers_quotes_then_their_changes_until_removed():
    with _host() as host:
        host.start()
        host.sim.push_ticks("EPZ5", [("bid", 6850.0, 4), ("ask", 6850.25, 6)])
        inst = _subscribe(host)
        host.sim.push_ticks("EPZ5", [("trade", 6850.25, 3)])
        host.sim.push_quotes("EPZ5", qtMarker=6851.0, qtBid=None)
        host.sim.sync()
        first, trade, scripted = host.sink.of("OnInstrumentChanged")
        assert first[0] == "F.US.EPZ5"
        assert first[1][:2] == [(C.qtBid, 6850.0, True), (C.qtAsk, 6850.25, True)]
        settled = first[1][2]  # yesterday's close, where the history before the clock ended
        assert settled[0] == C.qtYesterdaySettlement and settled[2]
        assert abs(settled[1] - 6850.0) < 300 and settled[1] % 0.25 == 0
        # The day began the evening before: its open, high and low include that history.
        assert [q[0] for q in trade[1]] == [C.qtTrade, C.qtDayOpen, C.qtDayHigh, C.qtDayLow]
        day_open, high, low = (q[1] for q in trade[1][1:])
        assert trade[1][0][1] == 6850.25 and low <= min(day_open, 6850.25)
        assert high >= max(day_open, 6850.25)
        assert scripted[1] == [(C.qtMarker, 6851.0, True), (C.qtBid, 0.0, False)]
        host.cel.RemoveInstrument(inst)
        host.sim.push_ticks("EPZ5", [("trade", 6850.0, 1)])
        host.sim.sync()
        assert len(host.sink.of("OnInstrumentChanged")) == 3
        assert host.cel.Instruments.Count == 0


def test_quotes_without_bba_leave_out_best_bid_and_ask():
    with _host() as host:
        host.start()
        _subscribe(host, level=C.dsQuotes)
        host.sim.push_ticks("EPZ5", [("bid", 6850.0, 4), ("trade", 6850.0, 2)])
        host.sim.sync()
        types = [q[0] for _, quotes in host.sink.of("OnInstrumentChanged") for q in quotes]
        assert C.qtBid not in types and C.qtTrade in types


def _ticks_request(host, symbol="EPZ5", limit=3, tick_filter=C.tfAll):
    req = win32com.client.Dispatch(host.cel.CreateTicksRequest())
    req.Symbol, req.Type, req.TickFilter = symbol, C.trtCurrentNotify, tick_filter
    req.SessionsFilter, req.Limit = 31, limit
    assert req.Limit == limit
    return req


def test_ticks_resolve_with_recent_ticks_then_add_batches_in_a_window_of_limit():
    with _host() as host:
        host.start()
        host.sim.push_ticks("EPZ5", [("bid", 1.0, 1), ("ask", 1.25, 2), ("trade", 1.25, 3),
                                     ("settlement", 1.0, 0)])
        host.cel.RequestTicks(_ticks_request(host))
        host.sim.push_ticks("EPZ5", [("ask", 1.5, 7), ("bid", 1.25, 8)])
        host.sim.push_ticks("EPZ5", [(t, 2.0, 1) for t in ("bid", "ask", "trade", "bid")])
        host.sim.sync()
        assert host.sink.of("OnTicksResolved") == [("EPZ5", 3, None)]
        first, big = host.sink.of("OnTicksAdded")
        assert first == (3, 2, [(C.tptAsk, 1.5, 7), (C.tptBid, 1.25, 8)])
        assert big[:2] == (4, 4)  # a batch larger than the limit is kept whole
        assert host.sink.names()[-4:] == ["OnTicksRemoved", "OnTicksAdded",
                                          "OnTicksRemoved", "OnTicksAdded"]
        assert host.sink.of("OnTicksRemoved") == [(1, 1), (0, 2)]
        ticks = win32com.client.Dispatch(host.cel.AllTicks.Item(0))
        assert ticks.Request.Symbol == "EPZ5"
        host.cel.RemoveTicks(ticks)
        host.sim.push_ticks("EPZ5", [("bid", 3.0, 1)])
        host.sim.sync()
        assert len(host.sink.of("OnTicksAdded")) == 2 and host.cel.AllTicks.Count == 0


def test_tick_filter_and_bad_requests():
    with _host() as host:
        host.start()
        host.cel.RequestTicks(_ticks_request(host, tick_filter=C.tfTrades))
        host.cel.RequestTicks(_ticks_request(host, symbol="NOPE"))
        host.cel.RequestTicks(_ticks_request(host, limit=0))
        host.sim.push_ticks("EPZ5", [("bid", 1.0, 1), ("trade", 1.0, 2)])
        host.sim.sync()
        ok, unknown, zero = host.sink.of("OnTicksResolved")
        assert ok[2] is None and unknown[2][1] == "Unknown symbol: NOPE"
        assert "Limit" in zero[2][1]
        assert host.sink.of("OnTicksAdded") == [(1, 1, [(C.tptTrade, 1.0, 2)])]


def _bars_request(host, symbol="EPZ5", lookback=100, daily=False):
    req = win32com.client.Dispatch(host.cel.CreateTimedBarsRequest())
    req.Symbol, req.RangeStart, req.RangeEnd = symbol, 0, -lookback - 1
    if daily:
        req.HistoricalPeriod = C.hpDaily
    else:
        req.IntradayPeriod = C.pfds1Min
    req.DailyBarClose, req.UpdatesEnabled = C.dbcLastQuoteOrSettlement, True
    req.IncludeOutput(C.tbrContractVolume, True)
    req.SessionsFilter = "all"
    return req


def test_minute_bars_resolve_history_then_update_and_add_as_time_passes():
    with _host() as host:
        host.start()
        host.cel.RequestTimedBars(_bars_request(host))
        host.sim.sync()
        (count, err, bars), = host.sink.of("OnTimedBarsResolved")
        assert count == 101 and err is None
        stamps = [b[0] for b in bars]
        assert stamps[-1] == dt.datetime(2025, 12, 1, 22, 30)  # 14:30 UTC shown in China
        assert all(b - a == dt.timedelta(minutes=1) for a, b in zip(stamps, stamps[1:]))
        assert bars[-1][1:5] == (INVALID,) * 4 and bars[-1][5] == 0  # no trade yet
        host.sim.push_ticks("EPZ5", [("trade", 6851.0, 4), ("trade", 6850.5, 2)])
        host.sim.advance(60)
        host.sim.sync()
        updated = host.sink.of("OnTimedBarsUpdated")
        assert updated[-1] == (100, (stamps[-1], 6851.0, 6851.0, 6850.5, 6850.5, 6))
        assert host.sink.of("OnTimedBarsRemoved") == [(100, 0)]
        (count, done, forming), = host.sink.of("OnTimedBarsAdded")
        assert count == 101 and done[1:] == (6851.0, 6851.0, 6850.5, 6850.5, 6)
        assert forming[0] == dt.datetime(2025, 12, 1, 22, 31) and forming[1] == INVALID
        bars = win32com.client.Dispatch(host.cel.AllTimedBars.Item(0))
        assert bars.Item(99).ContractVolume == 6 and bars.Item(99).CommodityVolume == INVALID
        host.cel.RemoveTimedBars(bars)
        host.sim.advance(120)
        host.sim.sync()
        assert len(host.sink.of("OnTimedBarsAdded")) == 1


def test_daily_bars_and_scripted_history_with_missing_values():
    with _host() as host:
        host.start()
        host.sim.set_history("EPZ5", [(10, 12, 9, 11, 100), (INVALID, INVALID, INVALID,
                                                              INVALID, INVALID)])
        host.cel.RequestTimedBars(_bars_request(host, lookback=5))
        host.cel.RequestTimedBars(_bars_request(host, lookback=3, daily=True))
        host.sim.sync()
        minute, daily = host.sink.of("OnTimedBarsResolved")
        assert minute[0] == 3  # no more history than the script gave
        assert [b[1] for b in minute[2]] == [10, INVALID, INVALID]
        # Trading days: the weekend has none (Monday's day opened on Sunday evening).
        assert daily[0] == 4 and [b[0] for b in daily[2]] == [
            dt.datetime(2025, 11, d) for d in (26, 27, 28)] + [dt.datetime(2025, 12, 1)]


def test_scripted_requests_unanswered_late_or_failed():
    with _host() as host:
        host.start()
        host.sim.respond("NewInstrument", "drop", times=1)
        host.cel.NewInstrument("EPZ5")
        host.sim.respond("RequestTicks", "hold")
        host.cel.RequestTicks(_ticks_request(host))
        host.sim.respond("RequestTimedBars", "error", code=42, description="no bars today")
        host.cel.RequestTimedBars(_bars_request(host))
        host.cel.NewInstrument("ENQZ5")  # the drop was for one request only
        assert host.sim.held() == ["RequestTicks"]
        assert host.sink.names()[-2:] == ["OnTimedBarsResolved", "OnInstrumentResolved"]
        assert host.sink.of("OnTimedBarsResolved")[0][:2] == (0, (42, "no bars today"))
        assert host.sink.of("OnInstrumentResolved") == [("ENQZ5", "F.US.ENQZ5", None)]
        assert host.sink.of("OnTicksResolved") == []
        host.sim.release("RequestTicks")
        host.sim.sync()
        assert host.sink.of("OnTicksResolved") == [("EPZ5", 0, None)]
        assert host.sim.held() == []


def _agree(bar, minutes):
    """Whether a bar holds exactly the minute bars given (oldest first)."""
    traded = [m for m in minutes if m[5] > 0]
    return bar[1:] == (traded[0][1], max(m[2] for m in traded), min(m[3] for m in traded),
                       traded[-1][4], sum(m[5] for m in traded))


def test_bars_of_every_period_agree_with_the_minutes_they_cover():
    with _host() as host:
        host.start()  # times shown in China: the trading day opens at 07:00 there
        host.cel.RequestTimedBars(_bars_request(host, lookback=2400))
        host.cel.RequestTimedBars(_bars_request(host, lookback=3, daily=True))
        thirty = _bars_request(host, lookback=40)
        thirty.IntradayPeriod = 30
        host.cel.RequestTimedBars(thirty)
        host.sim.sync()
        (_, _, minutes), (_, _, days), (_, _, halves) = host.sink.of("OnTimedBarsResolved")
        today = dt.datetime(2025, 12, 1, 7, 0)
        friday = (dt.datetime(2025, 11, 28, 7, 0), dt.datetime(2025, 11, 29, 6, 0))
        assert _agree(days[-1], [m for m in minutes if m[0] >= today])
        assert _agree(days[-2], [m for m in minutes if friday[0] <= m[0] < friday[1]])
        assert not [m for m in minutes if friday[1] <= m[0] < today]  # the weekend is closed
        for half in halves[-10:-1]:
            start, end = half[0], half[0] + dt.timedelta(minutes=30)
            assert _agree(half, [m for m in minutes if start <= m[0] < end])
        # Live trades go into every period alike.
        host.sim.push_ticks("EPZ5", [("trade", 6850.25, 7)])
        host.sim.sync()
        updated = {u[1][0]: u[1] for u in host.sink.of("OnTimedBarsUpdated")}
        assert updated[days[-1][0]][5] == days[-1][5] + 7
        assert updated[halves[-1][0]][5] == halves[-1][5] + 7


def test_the_trading_day_settles_at_its_close_and_the_next_opens_after_the_break():
    cqgsim.configure(start=dt.datetime(2025, 12, 1, 21, 50))  # 15:50 in Chicago
    with _host() as host:
        host.start()
        _subscribe(host)
        host.cel.RequestTimedBars(_bars_request(host, lookback=2, daily=True))
        host.cel.RequestTimedBars(_bars_request(host, lookback=3))
        host.sim.push_ticks("EPZ5", [("trade", 6851.0, 3)])
        host.sim.advance(80 * 60)  # through the settlement at 16:00 and the break to 17:10
        host.sim.sync()
        added = host.sink.of("OnTimedBarsAdded")
        day = [a for a in added if a[1][0].hour == 0]
        assert len(day) == 1
        (_, settled_day, next_day), = day
        assert settled_day[0] == dt.datetime(2025, 12, 1) and settled_day[4] == 6851.0
        assert next_day[0] == dt.datetime(2025, 12, 2) and next_day[5] == 0
        minute_stamps = [a[2][0] for a in added if a[1][0].hour != 0]
        # Shown in China: 15:59 in Chicago is 05:59, the reopening at 17:00 is 07:00.
        assert dt.datetime(2025, 12, 2, 5, 59) in [a[1][0] for a in added]
        assert [s for s in minute_stamps if dt.datetime(2025, 12, 2, 6, 0) <= s
                < dt.datetime(2025, 12, 2, 7, 0)] == []
        assert minute_stamps[-1] == dt.datetime(2025, 12, 2, 7, 10)
        quotes = [q for _, qs in host.sink.of("OnInstrumentChanged") for q in qs]
        assert (C.qtYesterdaySettlement, 6851.0, True) in quotes
