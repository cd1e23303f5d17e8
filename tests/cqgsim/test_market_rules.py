"""What the broker refuses: orders while the market is closed, and orders beyond the
buying power once the working orders count; what it never refuses: reducing the risk."""
import datetime as dt

import cqgsim
from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots
from tests.cqgsim.test_fill_model import _fills
from tests.cqgsim.test_orders import Desk

CLOSE_SOON = dt.datetime(2025, 12, 1, 21, 50)  # Monday 15:50 in Chicago, ten minutes to close


def _status(desk, order):
    return desk.changes(order.GUID)[-1][2]


def _reason(desk, order):
    return desk.cel.Orders.ItemByGuid(order.GUID).RejectReason


def test_orders_in_the_daily_break_are_rejected_and_resting_ones_wait_for_the_reopening():
    cqgsim.configure(start=CLOSE_SOON)
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        resting = desk.order(C.otLimit, 2, C.osdBuy, 6849.0)
        resting.Place()
        desk.sim.advance(25 * 60)  # 16:15, in the break
        desk.sim.push_ticks("EPZ5", [("ask", 6848.0, 10), ("trade", 6848.0, 5)])
        late = desk.order(C.otMarket, 2, C.osdBuy)
        late.Place()
        desk.sim.sync()
        assert _fills(desk, resting.GUID) == [] and _status(desk, resting) == C.osInOrderBook
        assert [e[2] for e in desk.changes(late.GUID)] == [C.osInTransit, C.osRejectGW]
        assert _reason(desk, late) == (
            "Market closed: F.US.EPZ5 trades again from Mon 2025-12-01 17:00 Chicago time")
        assert desk.account.Positions.Count == 0
        desk.sim.advance(45 * 60)  # 17:00: the next trading day opens
        desk.sim.push_ticks("EPZ5", [("trade", 6848.0, 5)])
        desk.sim.sync()
        assert _fills(desk, resting.GUID) == [(6849.0, 2)]


def test_over_the_weekend_the_market_is_closed_until_sunday_evening():
    cqgsim.configure(start=dt.datetime(2025, 12, 5, 21, 50))  # Friday 15:50 in Chicago
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.sim.advance(24 * 3600)  # Saturday
        order = desk.order(C.otLimit, 1, C.osdSell, 6900.0)
        order.Place()
        desk.sim.sync()
        assert _status(desk, order) == C.osRejectGW
        assert _reason(desk, order).endswith("from Sun 2025-12-07 17:00 Chicago time")


def test_working_orders_count_against_the_buying_power():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 1,000,000 of equity; 24,200 initial margin per EPZ5 contract
        buys = [desk.order(C.otLimit, 40, C.osdBuy, 6840.0) for _ in range(3)]
        for o in buys:
            o.Place()
        # Selling as much as the working buy could add never needs more than it does.
        sell = desk.order(C.otLimit, 40, C.osdSell, 6900.0)
        sell.Place()
        desk.sim.sync()
        assert [_status(desk, o) for o in buys + [sell]] == [
            C.osInOrderBook, C.osRejectGW, C.osRejectGW, C.osInOrderBook]
        reason = _reason(desk, buys[1])
        assert "Insufficient buying power" in reason and "1,936,000.00 in all" in reason
        desk.sim.push_ticks("EPZ5", [("trade", 6839.75, 1)])  # one lot trades through
        desk.sim.sync()
        assert desk.account.Positions.ItemByIndex(0).Quantity == 1


def test_orders_that_reduce_the_risk_pass_when_equity_is_below_the_margin_in_use():
    cqgsim.configure(accounts=[(100101, "ZT-SIM-1", 100_000.0)])
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.order(C.otMarket, 4, C.osdBuy).Place()  # 96,800 of initial margin
        desk.market(6830.0, 6830.25, trade=6830.0)  # 4 x 20.25 x 50 lost: equity 95,950
        desk.sim.sync()
        assert desk.summary("NLV") == (95_950.0,)
        adding = desk.order(C.otMarket, 1, C.osdBuy)
        reversing = desk.order(C.otMarket, 9, C.osdSell)  # short 5: more risk than long 4
        reducing = desk.order(C.otMarket, 1, C.osdSell)
        resting = desk.order(C.otLimit, 3, C.osdSell, 6835.0)
        for o in (adding, reversing, reducing, resting):
            o.Place()
        desk.sim.sync()
        assert [_status(desk, o) for o in (adding, reversing, reducing, resting)] == [
            C.osRejectGW, C.osRejectGW, C.osFilled, C.osInOrderBook]
        assert desk.account.Positions.ItemByIndex(0).Quantity == 3


def test_a_partly_filled_working_order_counts_only_what_it_can_still_add():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        resting = desk.order(C.otLimit, 40, C.osdBuy, 6849.0)
        resting.Place()
        desk.sim.push_ticks("EPZ5", [("ask", 6849.0, 30)])  # 30 of the 40 fill
        one_more = desk.order(C.otMarket, 1, C.osdBuy)  # 41 at most: 992,200 of margin
        one_more.Place()
        desk.sim.sync()
        assert desk.changes(resting.GUID)[-1][2:4] == (C.osInOrderBook, 30)
        assert _status(desk, one_more) == C.osFilled
