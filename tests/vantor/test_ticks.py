"""Ticks into level-1 order books."""
import pytest

from zandor_trader.core.data import OrderBook
from zandor_trader.gateways.cqg.wrapper import vantor

from . import fakes
from .conftest import ES, C, wrap

SIDES = ("bid_price_1", "bid_volume_1", "ask_price_1", "ask_volume_1")


def t(kind, price, volume):
    return fakes.Tick(getattr(C, "tpt" + kind), price, volume)


def added(unit, symbol, ticks, count=None):
    series = fakes.Series(symbol, ticks)
    unit.adapter.OnTicksAdded(wrap(series), len(ticks) if count is None else count)
    return series


def sides(book):
    return tuple(getattr(book, f) for f in SIDES)


def test_tick_type_names():
    assert [vantor.TickType2String(getattr(C, n)) for n in ("tptAsk", "tptBid", "tptSettlement", "tptTrade")] \
        == ["Ask price", "Bid price", "Settlement price", "Trade price"]
    with pytest.raises(KeyError) as err:
        vantor.TickType2String(tickType=-5)
    assert err.value.args == (-5,)


def test_only_the_added_ticks_are_visited_oldest_first(unit):
    series = added(unit, "EPZ5", [t("Trade", 1.0, 1)] * 7 + [t("Ask", 2.0, 3)] * 3, count=3)
    assert series.read == [7, 8, 9]


def test_a_book_is_built_side_by_side_and_sent_once_complete(unit):
    gw = unit.gateway
    added(unit, "EPZ5", [t("Ask", 10.5, 4)])
    first = gw.cqg_orderbooks[ES]
    assert isinstance(first, OrderBook) and first.exchange == ES.exchange and first.security == ES
    assert sides(first) == (0, 0, 10.5, 4) and list(gw.orderbooks) == []
    added(unit, "EPZ5", [t("Bid", 10.0, 0), t("Bid", 10.0, 2), t("Settlement", 9.0, 1), t("Trade", 10.5, 1)])
    # The zero bid volume holds the book back; settlement and trade ticks re-send it unchanged.
    assert [sides(b) for b in gw.orderbooks] == [(10.0, 2, 10.5, 4)] * 3
    assert gw.orderbooks[1] is gw.orderbooks[2] is gw.cqg_orderbooks[ES]
    assert gw.orderbooks[2].datetime == gw.orderbooks[0].datetime
    assert first.bid_price_1 == 0  # books are replaced, never changed in place


def test_an_unknown_tick_type_is_skipped_alone(unit):
    added(unit, "EPZ5", [t("Ask", 10.5, 4), fakes.Tick(77, 1.0, 1), t("Bid", 10.0, 2)])
    assert [sides(b) for b in unit.gateway.orderbooks] == [(10.0, 2, 10.5, 4)]


def test_a_security_missing_from_the_book_map_fails_the_batch(unit):
    del unit.gateway.cqg_orderbooks[ES]
    with pytest.raises(KeyError):
        added(unit, "EPZ5", [t("Ask", 10.5, 4)])


def test_resolution_releases_the_caller_with_or_without_error(unit):
    a = unit.adapter
    a.OnTicksResolved(wrap(fakes.Series("EPZ5", [])), wrap(fakes.Recorded(Code=3)))
    assert a.eventOrderbookDone.is_set()
    a.OnTicksResolved(wrap(fakes.Series("EPZ5", [])), None)
    assert a.eventOrderbookDone.is_set()
    a.OnTicksRemoved(None, 0)


def test_ticks_lookup_matches_by_substring_in_collection_order(unit):
    unit.cel.AllTicks = [fakes.Series("ENQZ5", []), fakes.Series("EPZ5", []), fakes.Series("EP", [])]
    assert unit.adapter.get_ticks_from_cqg_symbol("EP").Request.Symbol == "EPZ5"
    assert unit.adapter.get_ticks_from_cqg_symbol("CL") is None
    assert unit.adapter.get_ticks_from_cqg_symbol("") is None


# -- simulated component -------------------------------------------------------------------

def test_an_order_book_subscription_feeds_the_gateway(online):
    adapter, sim, gw = online.adapter, online.sim, online.gateway
    adapter.subscribe_orderbook("EPZ5")
    assert adapter.eventOrderbookDone.is_set()
    sim.push_ticks("EPZ5", [("bid", 6850.0, 12), ("ask", 6850.25, 8), ("trade", 6850.25, 3),
                            (99, 1.0, 1), ("ask", 6850.5, 2)])
    sim.sync()
    assert [sides(b) for b in gw.orderbooks] == [(6850.0, 12, 6850.25, 8)] * 2 + [(6850.0, 12, 6850.5, 2)]
    adapter.unsubscribe_orderbook("EPZ5")
    assert adapter.get_ticks_from_cqg_symbol("EPZ5") is None
    sim.push_ticks("EPZ5", [("bid", 6849.0, 1)])
    sim.sync()
    assert len(gw.orderbooks) == 3
