"""Instruments, quote subscriptions, order-book requests and the merging of quotes."""
import threading

import pytest

from zandor_trader.core.data import Quote
from zandor_trader.gateways.cqg.wrapper import vantor

from . import fakes
from .conftest import DEADLINE, ES, NQ, C, eventually, wrap

MOVES = [  # quote type, the Quote field it sets
    ("qtTrade", "last_price"), ("qtBid", "bid_price"), ("qtAsk", "ask_price"),
    ("qtDayOpen", "open_price"), ("qtDayHigh", "high_price"), ("qtDayLow", "low_price"),
    ("qtYesterdaySettlement", "prev_close_price"),
]
PRICE_FIELDS = [f for _, f in MOVES]


def changed(adapter, full_name, *quotes):
    adapter.OnInstrumentChanged(wrap(fakes.Instrument(full_name)), wrap(list(quotes)), None)


def q(type_name, price, valid=True):
    return fakes.Quote(getattr(C, type_name), price, valid)


def prices(record):
    return {f: getattr(record, f) for f in PRICE_FIELDS if getattr(record, f)}


def test_quote_type_names():
    assert vantor.QuoteType2String(C.qtAsk) == "Best ask"
    assert vantor.QuoteType2String(quoteType=C.qtYesterdaySettlement) == "Yesterday's settlement price"
    assert vantor.QuoteType2String(C.qtMarker) == vantor.QuoteType2String(C.qtTodayMarker) == "Marker price"
    with pytest.raises(KeyError) as err:
        vantor.QuoteType2String(999)
    assert err.value.args == (999,)


@pytest.mark.parametrize("type_name, field", MOVES)
def test_each_quote_type_moves_its_field(unit, type_name, field):
    changed(unit.adapter, "F.US.EPZ5", q(type_name, 42.5))
    record = unit.gateway.cqg_quotes[ES]
    assert prices(record) == {field: 42.5}
    assert record.security == ES and record.exchange == ES.exchange and record.datetime is not None


def test_a_record_is_sent_once_it_has_a_last_price_or_both_sides(unit):
    a, gw = unit.adapter, unit.gateway
    changed(a, "F.US.EPZ5", q("qtBid", 10.0))
    assert gw.cqg_quotes[ES].bid_price == 10.0 and list(gw.quotes) == []
    changed(a, "F.US.EPZ5", q("qtAsk", 10.5), q("qtSettlement", 9.0), q("qtBid", 0, valid=False))
    # The ask completes the record; the settlement moves nothing but re-sends it.
    assert [prices(r) for r in gw.quotes] == [{"bid_price": 10.0, "ask_price": 10.5}] * 2
    assert gw.quotes[0] is gw.quotes[1] is gw.cqg_quotes[ES]


def test_a_first_trade_is_sent_at_once_and_later_quotes_merge(unit):
    a, gw = unit.adapter, unit.gateway
    changed(a, "F.US.ENQZ5", q("qtTrade", 100.0))
    first = gw.cqg_quotes[NQ]
    changed(a, "F.US.ENQZ5", q("qtDayHigh", 101.0))
    assert [prices(r) for r in gw.quotes] == [{"last_price": 100.0},
                                              {"last_price": 100.0, "high_price": 101.0}]
    assert first.high_price == 0  # records are replaced, never changed in place
    assert gw.quotes[1].datetime >= first.datetime


def test_an_unknown_quote_type_is_skipped_alone(unit):
    changed(unit.adapter, "F.US.EPZ5", q("qtBid", 10.0), fakes.Quote(999, 1.0), q("qtAsk", 11.0))
    assert [prices(r) for r in unit.gateway.quotes] == [{"bid_price": 10.0, "ask_price": 11.0}]


def test_the_symbol_is_the_last_part_of_the_full_name(unit):
    a, gw = unit.adapter, unit.gateway
    changed(a, "ENQZ5", q("qtTrade", 1.0))
    changed(a, "X.Y.EPZ5", q("qtTrade", 2.0))
    changed(a, "F.US.CLEF6", q("qtTrade", 3.0))  # not traded: skipped quietly
    assert [(r.security, r.last_price) for r in gw.quotes] == [(NQ, 1.0), (ES, 2.0)]


def test_a_security_missing_from_the_quote_map_fails_the_event(unit):
    del unit.gateway.cqg_quotes[ES]
    with pytest.raises(KeyError):
        changed(unit.adapter, "F.US.EPZ5", q("qtTrade", 1.0))


def test_resolution_raises_the_subscription_level_and_releases_the_caller(unit):
    a = unit.adapter
    failed = fakes.Instrument("F.US.EPZ5")
    a.OnInstrumentResolved("EPZ5", wrap(failed), wrap(fakes.Recorded(Code=1)))
    assert a.eventQuoteDone.is_set() and failed.writes == []
    a.eventQuoteDone.clear()
    resolved = fakes.Instrument("F.US.EPZ5")
    a.OnInstrumentResolved("EPZ5", wrap(resolved), None)
    assert a.eventQuoteDone.is_set() and resolved.writes == [("DataSubscriptionLevel", C.dsQuotesAndBBA)]


def test_subscribe_quote_and_unsubscribe_by_first_substring_match(unit, out):
    a, cel = unit.adapter, unit.cel
    cel.answers["NewInstrument"] = lambda s: a.OnInstrumentResolved(s, wrap(fakes.Instrument(s)), None)
    a.subscribe_quote("EPZ5")
    assert cel.calls == [("NewInstrument", "EPZ5")]
    assert out.traces() == ["Waiting for eventQuoteDone in subscribe_quote(EPZ5)...", "eventQuoteDone is done."]
    cel.Instruments = [fakes.Instrument("F.US.ENQZ5"), fakes.Instrument("F.US.EPZ5"), fakes.Instrument("EPZ5")]
    assert a.get_instrument_from_cqg_symbol("EP").FullName == "F.US.EPZ5"
    a.unsubscribe_quote(cqg_symbol="Z5")
    assert cel.calls[-1] == ("RemoveInstrument", cel.Instruments[0])
    assert not a.eventQuoteDone.is_set()
    assert out.traces()[-1] == "Successfully unsubscribe quote for Z5"
    out.take()
    a.unsubscribe_quote("GCEG6")
    assert out.read() == "" and len(cel.calls) == 2
    assert a.get_instrument_from_cqg_symbol("GC") is None
    # The empty text is in every name, but names no instrument: nothing is dropped.
    assert a.get_instrument_from_cqg_symbol("") is None
    a.unsubscribe_quote("")
    assert out.read() == "" and len(cel.calls) == 2


def test_subscribe_quote_without_answer_returns_after_the_time_out(unit, short_timeout, out):
    unit.adapter.subscribe_quote("EPZ5")
    assert out.traces()[-1] == "eventQuoteDone is done."


def test_subscribe_orderbook_sets_up_a_current_ticks_request(unit, short_timeout, out):
    a, cel = unit.adapter, unit.cel
    a.eventOrderbookDone.set()
    a.subscribe_orderbook("EPZ5")
    (name, request), = cel.calls
    assert name == "RequestTicks"
    assert request.writes == [("Symbol", "EPZ5"), ("Type", C.trtCurrentNotify), ("TickFilter", C.tfAll),
                              ("SessionsFilter", 31), ("Limit", 10)]
    assert out.traces() == ["Limit: 10", "Waiting for eventOrderbookDone in subscribe_orderbook(EPZ5)...",
                            "eventOrderbookDone is done."]
    assert not a.eventOrderbookDone.is_set()  # cleared before the request; nobody answered


def test_unsubscribe_orderbook(unit, out):
    a, cel = unit.adapter, unit.cel
    cel.AllTicks = [fakes.Series("ENQZ5", []), fakes.Series("EPZ5", [])]
    a.unsubscribe_orderbook("CLEF6")
    assert cel.calls == [] and out.read() == ""
    a.eventOrderbookDone.set()
    a.unsubscribe_orderbook("EPZ5")
    assert cel.calls == [("RemoveTicks", cel.AllTicks[1])] and not a.eventOrderbookDone.is_set()
    assert out.traces() == ["Successfully unsubscribe orderbook for EPZ5"]


def test_text_arguments_must_be_str(unit):
    for method in ("subscribe_quote", "unsubscribe_quote", "subscribe_orderbook", "unsubscribe_orderbook",
                   "get_instrument_from_cqg_symbol"):
        with pytest.raises(TypeError, match=r"^Argument 'cqg_symbol' has incorrect type \(expected str, got bytes\)$"):
            getattr(unit.adapter, method)(b"EPZ5")
    assert unit.cel.calls == []


# -- simulated component -------------------------------------------------------------------

def test_quotes_of_a_subscribed_instrument_reach_the_gateway(online):
    adapter, sim, gw = online.adapter, online.sim, online.gateway
    adapter.subscribe_quote("EPZ5")
    sim.push_quotes("EPZ5", qtBid=6850.0, qtAsk=6850.25, qtTrade=6850.25, qtDayHigh=6860.0)
    sim.sync()
    record = gw.cqg_quotes[ES]
    assert (record.bid_price, record.ask_price, record.last_price, record.high_price) == \
        (6850.0, 6850.25, 6850.25, 6860.0)
    assert gw.quotes[-1] is record
    adapter.unsubscribe_quote("EPZ5")
    assert adapter.get_instrument_from_cqg_symbol("EPZ5") is None
    sent = len(gw.quotes)
    sim.push_quotes("EPZ5", qtTrade=6851.0)
    sim.sync()
    assert len(gw.quotes) == sent and gw.cqg_quotes[ES] is record  # kept, no longer fed


def test_an_unknown_symbol_releases_the_subscription_at_once(online):
    online.adapter.subscribe_quote("NOSUCH")  # an error answer: no 10-second wait
    assert online.adapter.eventQuoteDone.is_set()
    assert online.adapter.get_instrument_from_cqg_symbol("NOSUCH") is None


def test_an_unknown_quote_type_from_the_component_is_skipped(online):
    online.adapter.subscribe_quote("ENQZ5")
    online.sim.push_quotes("ENQZ5", {999: 1.0, C.qtTrade: 25401.0})
    online.sim.sync()
    assert online.gateway.cqg_quotes[NQ].last_price == 25401.0


def test_a_late_resolution_releases_a_later_subscription(online, monkeypatch, out):
    adapter, sim = online.adapter, online.sim
    sim.respond("NewInstrument", "hold", times=1)
    monkeypatch.setattr(vantor, "TIMEOUT", 0.05)
    adapter.subscribe_quote("EPZ5")  # times out: not an error
    sim.respond("NewInstrument", "drop", times=1)
    monkeypatch.setattr(vantor, "TIMEOUT", DEADLINE)
    done = threading.Event()
    caller = threading.Thread(target=lambda: (adapter.subscribe_quote("ENQZ5"), done.set()))
    caller.start()
    eventually(lambda: "Waiting for eventQuoteDone in subscribe_quote(ENQZ5)..." in out.traces())
    assert not done.is_set()
    sim.release("NewInstrument")  # the first one's answer
    caller.join(DEADLINE)
    assert done.is_set()
    assert adapter.get_instrument_from_cqg_symbol("ENQZ5") is None  # its own never came
    assert adapter.get_instrument_from_cqg_symbol("EPZ5") is not None
