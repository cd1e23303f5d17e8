"""The live market: it moves by itself, and one seed always gives one event stream."""
import win32com.client

import cqgsim
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
