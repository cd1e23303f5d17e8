"""Time bars: the request, the windows the events fill and slide, and the repaired reads."""
import datetime
import threading

import pytest

from zandor_trader.gateways.cqg.wrapper import vantor

from . import fakes
from .conftest import ES, C, wrap

X = vantor.INVALID_VALUE
FIELDS = ("open", "high", "low", "close", "volume")


def values(bars):
    return [tuple(getattr(b, f) for f in FIELDS) for b in bars]


def minutes(bars):
    return [b.datetime.minute for b in bars]


def resolve(unit, rows, symbol="EPZ5", first_minute=0):
    """Resolves a request with these (o, h, l, c, v) rows; the last one is still forming."""
    series = fakes.Series(symbol, [fakes.Bar(first_minute + i, *r) for i, r in enumerate(rows)])
    unit.adapter.OnTimedBarsResolved(wrap(series), None)
    return series


def add(unit, minute, row, symbol="EPZ5"):
    """A new bar starts: the one at `minute` has just completed."""
    series = fakes.Series(symbol, [fakes.Bar(minute, *row), fakes.Bar(minute + 1, 0, 0, 0, 0, 0)])
    unit.adapter.OnTimedBarsAdded(wrap(series))


def test_subscribe_bar_request(unit, short_timeout, out):
    a, cel = unit.adapter, unit.cel
    a.subscribe_bar("EPZ5", 100)
    a.subscribe_bar(cqg_symbol="ENQZ5", lookback_period=5.7, freq="1Day")
    a.subscribe_bar("EPZ5", 0, "1Min")
    (_, minute), (_, daily), (_, zero) = cel.calls
    common = [("DailyBarClose", C.dbcLastQuoteOrSettlement), ("UpdatesEnabled", True),
              ("IncludeOutput", (C.tbrContractVolume, True)), ("IncludeOutput", (C.tbrCommodityVolume, True)),
              ("SessionsFilter", "all")]
    assert minute.writes == [("Symbol", "EPZ5"), ("RangeStart", 0), ("RangeEnd", -101),
                             ("IntradayPeriod", C.pfds1Min)] + common
    assert daily.writes == [("Symbol", "ENQZ5"), ("RangeStart", 0), ("RangeEnd", -6),
                            ("HistoricalPeriod", C.hpDaily)] + common
    assert zero.writes[2] == ("RangeEnd", -1)
    assert out.traces()[:3] == ["Create 1Min timed bars request for EPZ5",
                                "Waiting for eventBarDone in subscribe_bar(EPZ5)...", "eventBarDone is done."]


@pytest.mark.parametrize("args, error, message", [
    (("EPZ5", 10, "1min"), ValueError, "Parameter freq=1min is Not supported. Only ('1Day', '1Min') are allowed."),
    (("EPZ5", 10, "5Min"), ValueError, "Parameter freq=5Min is Not supported. Only ('1Day', '1Min') are allowed."),
    (("EPZ5", "10"), TypeError, "Argument 'lookback_period' has incorrect type (expected int, got str)"),
    (("EPZ5", 10, None), TypeError, "Argument 'freq' has incorrect type (expected str, got NoneType)"),
    ((5, 10), TypeError, "Argument 'cqg_symbol' has incorrect type (expected str, got int)"),
])
def test_subscribe_bar_refuses_bad_arguments_before_sending(unit, args, error, message, out):
    with pytest.raises(error) as err:
        unit.adapter.subscribe_bar(*args)
    assert str(err.value) == message
    assert unit.cel.calls == [] and out.read() == ""


def test_resolution_keeps_the_completed_bars(unit):
    a = unit.adapter
    a.eventBarDone.clear()
    resolve(unit, [(1, 2, 0.5, 1.5, 10), (2, 3, 1, 2, 20), (3, 4, 2, 3, 30), (4, 5, 3, 4, 40), (9, 9, 9, 9, 9)])
    bars = a.subscribe_bars_data[ES]
    assert values(bars) == [(1, 2, 0.5, 1.5, 10), (2, 3, 1, 2, 20), (3, 4, 2, 3, 30), (4, 5, 3, 4, 40)]
    assert bars[0].datetime == datetime.datetime(2025, 12, 1, 9, 0, 0) and bars[0].security == ES
    assert a.eventBarDone.is_set()
    # A second resolution leaves a window that holds bars alone.
    resolve(unit, [(7, 7, 7, 7, 7), (8, 8, 8, 8, 8)])
    assert a.subscribe_bars_data[ES] is bars and len(bars) == 4


def test_resolutions_without_completed_bars(unit):
    a = unit.adapter
    a.OnTimedBarsResolved(wrap(fakes.Series("EPZ5", [fakes.Bar(0, 1, 1, 1, 1, 1)])), wrap(fakes.Recorded(Code=2)))
    resolve(unit, [], symbol="ENQZ5")
    assert a.subscribe_bars_data == {} and a.eventBarDone.is_set()
    resolve(unit, [(1, 1, 1, 1, 1)])  # only the forming bar
    assert a.subscribe_bars_data == {ES: []}
    assert a.get_subscribe_bars_data(ES) is None and a.get_subscribe_bars_data("unknown") is None
    # Such a window never takes a bar.
    with pytest.raises(IndexError):
        add(unit, 5, (1, 1, 1, 1, 1))


def test_a_failing_read_keeps_the_bars_before_it_and_releases_nobody(unit):
    series = fakes.Series("EPZ5", [fakes.Bar(0, 1, 1, 1, 1, 1), fakes.Bar(1, 2, 2, 2, 2, 2), None, None])
    unit.adapter.eventBarDone.clear()
    with pytest.raises(AttributeError):
        unit.adapter.OnTimedBarsResolved(wrap(series), None)
    assert values(unit.adapter.subscribe_bars_data[ES]) == [(1, 1, 1, 1, 1), (2, 2, 2, 2, 2)]
    assert not unit.adapter.eventBarDone.is_set()


def test_a_newer_bar_slides_the_window(unit, out):
    a = unit.adapter
    resolve(unit, [(1, 1, 1, 1, 1), (2, 2, 2, 2, 2), (3, 3, 3, 3, 3), (0, 0, 0, 0, 0)])
    window = a.subscribe_bars_data[ES]
    add(unit, 2, (9, 9, 9, 9, 9))  # the time of the newest: nothing happens
    assert out.read() == ""
    add(unit, 3, (4, 4, 4, 4, 4))
    assert a.subscribe_bars_data[ES] is window and minutes(window) == [1, 2, 3]
    assert values(window)[-1] == (4, 4, 4, 4, 4)
    assert out.take() == f"[2] OnTimedBarsAdded: {window[-1]}\n"
    a.OnTimedBarsAdded(wrap(fakes.Series("EPZ5", [fakes.Bar(9, 1, 1, 1, 1, 1)])))  # fewer than two
    assert minutes(window) == [1, 2, 3] and out.read() == ""


def test_a_bar_for_a_symbol_never_resolved_fails(unit):
    with pytest.raises(KeyError):
        add(unit, 3, (1, 1, 1, 1, 1))


def test_repair_fills_gaps_from_the_nearest_valid_bar_and_persists(unit):
    a = unit.adapter
    resolve(unit, [(X, 1, 1, 1, X), (X, 2, 2, 2, 5), (3, X, 3, 3, X), (4, X, X, 4, 7), (5, 5, 5, 5, X),
                   (0, 0, 0, 0, 0)])
    stored = a.subscribe_bars_data[ES]
    bars = a.get_subscribe_bars_data(ES)
    expected = [(3, 1, 1, 1, 5), (3, 2, 2, 2, 5), (3, 2, 3, 3, 5), (4, 2, 3, 4, 7), (5, 5, 5, 5, 7)]
    assert values(bars) == expected
    # The store holds the repaired records; the caller got its own list of them.
    assert values(stored) == expected and bars == stored and bars is not stored
    bars.clear()
    assert len(a.subscribe_bars_data[ES]) == 5


def test_a_newest_bar_that_cannot_be_repaired_fails_the_read(unit):
    resolve(unit, [(1, 1, 1, 1, X), (2, 2, 2, 2, X), (0, 0, 0, 0, 0)])
    with pytest.raises(ValueError) as err:
        unit.adapter.get_subscribe_bars_data(security=ES)
    assert str(err.value) == f"The latest bar is INVALID: {unit.adapter.subscribe_bars_data[ES][-1]}."


def test_unsubscribe_bar(unit, out, capsys):
    a, cel = unit.adapter, unit.cel
    resolve(unit, [(1, 1, 1, 1, 1), (0, 0, 0, 0, 0)])
    a.unsubscribe_bar("EPZ5")  # no timed-bars object: nothing at all
    assert cel.calls == [] and out.read() == "" and ES in a.subscribe_bars_data
    cel.AllTimedBars = [fakes.Series("ENQZ5", []), fakes.Series("EPZ5", [])]
    a.unsubscribe_bar("EPZ5")
    assert cel.calls == [("RemoveTimedBars", cel.AllTimedBars[1])]
    assert a.subscribe_bars_data == {} and not a.eventBarDone.is_set()
    assert out.traces() == ["Successfully unsubscribe timedbar for EPZ5"]
    a.unsubscribe_bar("ENQZ5")  # no window for it: not an error
    # Errors inside are the host's safe_call's business.
    def refuse(bars):
        raise RuntimeError("refused")
    cel.answers["RemoveTimedBars"] = refuse
    assert a.unsubscribe_bar("EPZ5") is None
    assert "safe_call: " in capsys.readouterr().err


def test_dump_bar(unit, out):
    unit.adapter.dumpBar(wrap(fakes.Bar(2, 1.5, 2.5, 0.5, 2.0, 30)), 4)
    assert out.traces() == [
        "Bar index: 4 Timestamp 2025-12-01 09:02:00.250000 Open 1.5 High 2.5 Low 0.5 Close 2.0 "
        "ActualVolumeFractional 30.0 CommodityVolumeFractional 2.5 ContractVolumeFractional 1.5 TickVolume 7"]


# -- simulated component -------------------------------------------------------------------

def test_a_bar_subscription_fills_slides_and_ends(online, out):
    adapter, sim = online.adapter, online.sim
    sim.set_history("EPZ5", [(10, 12, 9, 11, 100), (X, X, X, X, X), (11, 13, 10, X, 50), (12, 14, 11, 13, 70)])
    adapter.subscribe_bar("EPZ5", 4)
    window = adapter.get_subscribe_bars_data(ES)
    assert values(window) == [(10, 12, 9, 11, 100), (10, 12, 9, 11, 100), (11, 13, 10, 11, 50),
                              (12, 14, 11, 13, 70)]
    sim.push_ticks("EPZ5", [("trade", 12.5, 3)])
    sim.advance(60)
    sim.sync()
    later = adapter.get_subscribe_bars_data(ES)
    assert later[:3] == window[1:] and values(later)[-1] == (12.5, 12.5, 12.5, 12.5, 3)
    assert later[-1].datetime - later[-2].datetime == datetime.timedelta(minutes=1)
    assert "[2] OnTimedBarsAdded: " in out.read()
    adapter.unsubscribe_bar("EPZ5")
    assert adapter.get_subscribe_bars_data(ES) is None
    assert adapter.get_timedbars_from_cqg_symbol("EPZ5") is None


def test_a_refused_bar_request_returns_at_once_without_bars(online):
    online.sim.respond("RequestTimedBars", "error", code=42, description="no bars today")
    online.adapter.subscribe_bar("EPZ5", 10, "1Day")
    assert online.adapter.eventBarDone.is_set()
    assert online.adapter.get_subscribe_bars_data(ES) is None


def test_reading_while_the_worker_adds_bars(online):
    """The gateway's thread reads in a tight loop while the worker slides the window: every
    read is a whole, gapless window that agrees with every other read, and the last one
    holds every added bar."""
    adapter, sim = online.adapter, online.sim
    length, additions = 200, 150
    sim.set_history("EPZ5", [(X, 1, 1, 1, 1)] + [(100 + i, 101 + i, 99 + i, 100 + i, 10) for i in range(length)])
    adapter.subscribe_bar("EPZ5", length)
    first = adapter.get_subscribe_bars_data(ES)
    start = first[0].datetime

    def feed():
        for k in range(additions):
            sim.push_ticks("EPZ5", [("trade", 1000.0 + k, 1)])
            sim.advance(60)
        sim.sync()

    feeder = threading.Thread(target=feed)
    feeder.start()
    seen = {}
    while True:
        done = not feeder.is_alive()
        window = adapter.get_subscribe_bars_data(ES)
        steps = [(b.datetime - start) // datetime.timedelta(minutes=1) for b in window]
        assert len(window) == length and steps == list(range(steps[0], steps[0] + length)), steps
        for step, bar in zip(steps, window):
            assert seen.setdefault(step, bar.close) == bar.close
        if done:
            break
    feeder.join()
    assert steps == list(range(additions, additions + length))
    assert [seen[length + k] for k in range(additions)] == [1000.0 + k for k in range(additions)]
