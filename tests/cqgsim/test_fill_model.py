"""When and at what price orders trade: only on market activity after they are in the book,
on the contract's price grid, through the size the book shows, behind the queue at their
price, within the account's buying power; busted fills and late cancels."""
import win32com.client

from cqgsim import accounts
from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots
from tests.cqgsim.test_orders import ACCOUNT, Desk


def _fills(desk, guid):
    return [(e[6][2], e[6][3]) for e in desk.changes(guid) if e[6] is not None]


def _tape(desk):
    """Trade prints delivered to a ticks request on EPZ5 (volume by price, in order)."""
    return [(p, v) for _, _, ticks in desk.sink.of("OnTicksAdded") for t, p, v in ticks
            if t == C.tptTrade]


def _with_tape(desk):
    req = win32com.client.Dispatch(desk.cel.CreateTicksRequest())
    req.Symbol, req.Limit = "EPZ5", 1000
    desk.cel.RequestTicks(req)
    desk.sim.sync()
    desk.sink.clear()


def test_resting_orders_trade_only_on_what_the_market_does_after_they_are_in_the_book():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        # A print at 6851.00, then the market fell: a buy stop below that old print waits.
        desk.sim.push_ticks("EPZ5", [("trade", 6851.0, 1), ("bid", 6850.0, 10),
                                     ("ask", 6850.5, 10)])
        stop = desk.order(C.otStop, 1, C.osdBuy, 0, 6850.75)
        stop.Place()
        # A print at 6849.50 under the bid: a buy limit above it, below the offer, waits.
        desk.sim.push_ticks("EPZ5", [("trade", 6849.5, 1)])
        limit = desk.order(C.otLimit, 1, C.osdBuy, 6849.75)
        limit.Place()
        desk.market(6850.0, 6850.5)
        desk.sim.sync()
        assert desk.changes(limit.GUID)[-1][2] == desk.changes(stop.GUID)[-1][2] == C.osInOrderBook
        _with_tape(desk)
        # A later print through the limit fills it there; one at the stop triggers the stop,
        # which buys at the offer, never below its stop. The prints arrive before the fills.
        desk.sim.push_ticks("EPZ5", [("trade", 6849.5, 2)])
        desk.sim.push_ticks("EPZ5", [("ask", 6851.0, 10), ("bid", 6850.75, 10),
                                     ("trade", 6850.75, 1)])
        desk.sim.sync()
        names = host.sink.names()
        assert names.index("OnTicksAdded") < names.index("OnOrderChanged")
        assert _fills(desk, limit.GUID) == [(6849.75, 1)]
        assert _fills(desk, stop.GUID) == [(6851.0, 1)]


def test_prices_off_the_tick_grid_are_rejected():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        off = [desk.order(C.otLimit, 1, C.osdBuy, 6849.10), desk.order(C.otStop, 1, C.osdSell, 0,
                                                                        6840.3)]
        on = desk.order(C.otLimit, 1, C.osdBuy, 6849.25)
        for o in off + [on]:
            o.Place()
        desk.sim.sync()
        for o in off:
            assert [e[2] for e in desk.changes(o.GUID)] == [C.osInTransit, C.osRejectGW]
            assert "tick size" in desk.cel.Orders.ItemByGuid(o.GUID).RejectReason
        assert desk.changes(on.GUID)[-1][2] == C.osInOrderBook


def test_a_market_order_walks_the_book_and_its_fills_print_on_the_tape():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 10 shown at the offer; 150 (the usual top size) at each level behind
        _with_tape(desk)
        order = desk.order(C.otMarket, 40, C.osdBuy)
        order.Place()
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6850.25, 10), (6850.5, 30)]
        assert desk.changes(order.GUID)[-1][2:5] == (
            C.osFilled, 40, (6850.25 * 10 + 6850.5 * 30) / 40)
        # The fills reach the tape, the bars and the book after the order's own events.
        assert _tape(desk) == [(6850.25, 10), (6850.5, 30)]
        assert host.sink.names()[-1] == "OnTicksAdded"
        assert desk.sim.query(lambda core: (
            core.market_data.markets["F.US.EPZ5"].quotes[C.qtAsk][:2],
            core.market_data.markets["F.US.EPZ5"].series["1"].forming.volume)) == (
                [6850.5, 120], 40)


def test_a_resting_limit_order_waits_behind_the_queue_and_fills_in_parts():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 10 bid at 6850.00
        _with_tape(desk)
        order = desk.order(C.otLimit, 5, C.osdBuy, 6850.0)
        order.Place()
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 8)])  # 8 of the 10 before it
        desk.sim.sync()
        assert _fills(desk, order.GUID) == []
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 4)])  # 2 more before it, then 2 of it
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6850.0, 2)]
        assert desk.changes(order.GUID)[-1][2:4] == (C.osInOrderBook, 2)
        # Prints through its price fill it, each no more than its own size.
        desk.sim.push_ticks("EPZ5", [("trade", 6849.75, 1)])
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6850.0, 2), (6850.0, 1)]
        desk.sim.push_ticks("EPZ5", [("trade", 6849.5, 5)])
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6850.0, 2), (6850.0, 1), (6850.0, 2)]
        assert desk.changes(order.GUID)[-1][2] == C.osFilled
        # The prints that filled it carried its contracts; only the trades through print more.
        assert _tape(desk) == [(6850.0, 8), (6850.0, 4), (6849.75, 1), (6850.0, 1),
                               (6849.5, 5), (6850.0, 2)]


def test_the_queue_before_a_resting_order_shrinks_with_cancels_in_proportion():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 10 bid at 6850.00
        order = desk.order(C.otLimit, 5, C.osdBuy, 6850.0)
        order.Place()
        bid = lambda size: desk.sim.push_ticks("EPZ5", [("bid", 6850.0, size)])
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 6), ("bid", 6850.0, 4)])  # 4 before it
        bid(14)  # 10 more join behind it
        bid(7)   # 7 cancelled, in proportion 2 of the 4 before it: 2 left
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 3)])
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6850.0, 1)]


def test_orders_beyond_the_buying_power_are_rejected_with_a_reason():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 1,000,000 of equity; 24,200 initial margin per EPZ5 contract
        big = desk.order(C.otMarket, 500, C.osdBuy)
        big.Place()
        fits = desk.order(C.otMarket, 40, C.osdBuy)
        fits.Place()
        more = desk.order(C.otMarket, 2, C.osdBuy)
        more.Place()
        closing = desk.order(C.otMarket, 41, C.osdSell)  # reduces the risk: always allowed
        closing.Place()
        desk.sim.sync()
        assert [e[2] for e in desk.changes(big.GUID)] == [C.osInTransit, C.osRejectGW]
        reason = desk.cel.Orders.ItemByGuid(big.GUID).RejectReason
        assert "Insufficient buying power" in reason and "12,100,000.00" in reason
        assert desk.changes(fits.GUID)[-1][2] == C.osFilled
        assert desk.changes(more.GUID)[-1][2] == C.osRejectGW
        assert desk.changes(closing.GUID)[-1][2] == C.osFilled
        assert desk.account.Positions.ItemByIndex(0).Quantity == -1


def test_a_busted_fill_is_taken_back_from_position_and_cash(monkeypatch):
    monkeypatch.setattr(accounts, "KEPT_FILLS", 2)  # older fills are folded sooner
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.order(C.otMarket, 2, C.osdBuy).Place()       # 2 at 6850.25
        sell = desk.order(C.otMarket, 1, C.osdSell)       # 1 at 6850.00: 12.50 lost
        sell.Place()
        desk.order(C.otMarket, 1, C.osdBuy).Place()       # 1 more at 6850.25
        desk.sim.sync()
        assert desk.summary("ProfitLoss") == (-12.5,)
        desk.sim.set_order_status(sell.GUID, "osBusted")
        desk.sim.sync()
        pos = desk.account.Positions.ItemByIndex(0)
        assert (pos.Quantity, pos.AveragePrice) == (3, 6850.25)
        assert desk.summary("ProfitLoss", "Balance") == (0.0, 1_000_000.0)
        busted = desk.changes(sell.GUID)[-1]
        assert busted[2] == C.osBusted and busted[6][0] == C.fsBusted
        assert desk.sink.of("OnAccountChanged")[-2:] == [
            (C.actPositionChanged, ACCOUNT, ("F.US.EPZ5", C.osdBuy, 3, 6850.25)),
            (C.actAccountChanged, ACCOUNT, None)]


def test_a_cancel_that_loses_the_race_to_a_fill_is_answered():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        order = desk.order(C.otLimit, 1, C.osdSell, 6851.0)
        order.Place()
        desk.sim.respond("Cancel", "hold")
        desk.sim.sync()
        desk.cel.Orders.ItemByGuid(order.GUID).Cancel()
        desk.market(6851.0, 6851.25)  # fills it while the cancel is on its way
        desk.sim.sync()
        desk.sim.respond("Cancel")
        desk.sim.release("Cancel")
        desk.sim.sync()
        answer = desk.changes(order.GUID)[-1]
        assert answer[2] == C.osFilled and answer[7][1].endswith("no longer working")


def test_a_resting_order_takes_no_more_than_the_size_offered_at_its_price():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        order = desk.order(C.otLimit, 40, C.osdBuy, 6849.0)
        order.Place()
        desk.sim.push_ticks("EPZ5", [("ask", 6849.0, 1), ("bid", 6848.75, 10)])
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6849.0, 1)]
        assert desk.changes(order.GUID)[-1][2:4] == (C.osInOrderBook, 1)
        # The offer it took is gone from the book: behind it, the usual size a tick up.
        assert desk.sim.query(lambda core: core.market_data.markets["F.US.EPZ5"].quotes[
            C.qtAsk][:2]) == [6849.25, 150]
        desk.sim.push_ticks("EPZ5", [("ask", 6849.0, 6)])  # a new offer at its price
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6849.0, 1), (6849.0, 6)]
        assert desk.changes(order.GUID)[-1][2:4] == (C.osInOrderBook, 7)


def test_resting_orders_share_one_print_best_price_first_then_in_arrival_order():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        first, second = (desk.order(C.otLimit, 5, C.osdBuy, 6849.0) for _ in range(2))
        better = desk.order(C.otLimit, 5, C.osdBuy, 6849.25)
        for o in (first, second, better):
            o.Place()
        desk.sim.push_ticks("EPZ5", [("trade", 6848.75, 1)])
        desk.sim.sync()
        assert [_fills(desk, o.GUID) for o in (better, first, second)] == [
            [(6849.25, 1)], [], []]
        desk.sim.push_ticks("EPZ5", [("trade", 6848.75, 6)])
        desk.sim.sync()
        assert [_fills(desk, o.GUID) for o in (better, first, second)] == [
            [(6849.25, 1), (6849.25, 4)], [(6849.0, 2)], []]


def test_orders_at_one_price_keep_their_places_in_the_queue():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 10 bid at 6850.00: both orders join behind them
        first, second = (desk.order(C.otLimit, 5, C.osdBuy, 6850.0) for _ in range(2))
        first.Place()
        second.Place()
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 12)])  # the 10, then 2 of the first
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 4)])  # 3 of the first, 1 of the second
        desk.sim.sync()
        assert [_fills(desk, o.GUID) for o in (first, second)] == [
            [(6850.0, 2), (6850.0, 3)], [(6850.0, 1)]]


def test_the_other_side_reaching_an_order_clears_the_queue_before_it():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 10 bid at 6850.00 before the order
        order = desk.order(C.otLimit, 5, C.osdBuy, 6850.0)
        order.Place()
        desk.sim.push_ticks("EPZ5", [("ask", 6850.0, 2)])
        desk.sim.push_ticks("EPZ5", [("ask", 6850.25, 10), ("bid", 6849.75, 10)])
        desk.sim.push_ticks("EPZ5", [("trade", 6850.0, 3)])
        desk.sim.sync()
        assert _fills(desk, order.GUID) == [(6850.0, 2), (6850.0, 3)]
