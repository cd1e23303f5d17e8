"""Orders through to fills and cancels, with balance and positions following."""
import pytest
import pywintypes
import win32com.client

from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots

ACCOUNT = 100101


class Desk:
    """A started component with EPZ5 subscribed, account ACCOUNT loaded with position
    updates, and a market of 6850.00 / 6850.25."""

    def __init__(self, host, clear=True):
        self.host, self.cel, self.sim, self.sink = host, host.cel, host.sim, host.sink
        host.start()
        self.cel.NewInstrument("EPZ5")
        self.cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
        self.sim.sync()
        self.inst = self.cel.Instruments.Item(0)
        self.account = next(a for a in self.cel.Accounts if a.GWAccountID == ACCOUNT)
        self.account.AutoSubscribeInstruments = True
        self.account.PositionSubcriptionLevel = C.pslSnapshotAndUpdates
        self.market(6850.0, 6850.25)
        self.sim.sync()
        if clear:
            self.sink.clear()

    def market(self, bid, ask, trade=None):
        ticks = [("bid", bid, 10), ("ask", ask, 10)]
        self.sim.push_ticks("EPZ5", ticks + ([("trade", trade, 1)] if trade else []))

    def order(self, order_type, quantity, side, *prices, account=True):
        order = win32com.client.Dispatch(self.cel.CreateOrder(
            order_type, self.inst, self.account if account else None, quantity, side, *prices))
        order.Manual = 0
        return order

    def changes(self, guid):
        return [e for e in self.sink.of("OnOrderChanged") if e[1] == guid]

    def summary(self, *members):
        s = self.account.Summary
        return tuple(getattr(s, m)(1 if m in ("Collaterals", "MaintenanceMargin") else 0)
                     for m in members)


def test_market_order_goes_through_transit_and_book_to_a_fill_at_the_ask():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        order = desk.order(C.otMarket, 2, C.osdBuy)
        guid = order.GUID
        assert guid.startswith("{") and len(guid) == 38  # known before it is placed
        order.Place()
        desk.sim.sync()
        added, booked, filled = desk.changes(guid)
        assert [(e[0], e[2]) for e in (added, booked, filled)] == [
            (C.ctAdded, C.osInTransit), (C.ctChanged, C.osInOrderBook), (C.ctChanged, C.osFilled)]
        assert filled[3:5] == (2, 6850.25) and filled[7] is None
        status, stamp, price, qty, fill_guid, fill_id = filled[6]
        assert (status, price, qty, fill_guid) == (C.fsNormal, 6850.25, 2, guid)
        assert stamp.microsecond != 0 and stamp == filled[5] and isinstance(fill_id, str)
        assert added[5] < booked[5] < filled[5]
        assert desk.sink.of("OnAccountChanged") == [
            (C.actPositionAdded, ACCOUNT, ("F.US.EPZ5", C.osdBuy, 2, 6850.25)),
            (C.actAccountChanged, ACCOUNT, None)]
        assert desk.cel.Orders.ItemByGuid(guid).Properties(C.opGWStatus).Value == C.osFilled
        with pytest.raises(pywintypes.com_error):
            desk.cel.Orders.ItemByGuid(guid).Cancel()  # nothing left to cancel


def test_limit_order_rests_until_the_market_reaches_it_and_pnl_follows():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        buy = desk.order(C.otMarket, 3, C.osdBuy)
        buy.Place()
        sell = desk.order(C.otLimit, 2, C.osdSell, 6852.0)
        sell.Place()
        desk.market(6851.0, 6851.25)
        desk.sim.sync()
        assert desk.changes(sell.GUID)[-1][2] == C.osInOrderBook
        # Marked at the last trade: 3 long from 6850.25 at 6851.50 is 3 * 1.25 * 50.
        desk.market(6851.25, 6851.5, trade=6851.5)
        desk.sim.sync()
        assert desk.summary("UPL", "Balance") == (187.5, 1_000_000.0)
        desk.market(6852.0, 6852.25)
        desk.sim.sync()
        filled = desk.changes(sell.GUID)[-1]
        assert filled[2:5] == (C.osFilled, 2, 6852.0)
        realized = 2 * (6852.0 - 6850.25) * 50
        upl = 1 * (6852.0 - 6850.25) * 50  # the fill itself printed the last trade
        assert desk.summary("Balance", "ProfitLoss", "UPL", "NLV", "MaintenanceMargin",
                            "Collaterals") == (
            1_000_000.0 + realized, realized, upl, 1_000_000.0 + realized + upl, 22_000.0, 0.0)
        assert desk.sink.of("OnAccountChanged")[-2] == (
            C.actPositionChanged, ACCOUNT, ("F.US.EPZ5", C.osdBuy, 1, 6850.25))
        pos = desk.account.Positions.ItemByIndex(0)
        assert (pos.Quantity, pos.OTE, pos.ProfitLoss) == (1, upl, realized + upl)


def test_selling_through_flat_reverses_the_position_at_the_fill_price():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.order(C.otMarket, 1, C.osdBuy).Place()
        desk.order(C.otMarket, 3, C.osdSell).Place()
        desk.sim.sync()
        pos = desk.account.Positions.ItemByIndex(0)
        assert (pos.Quantity, pos.Side, pos.AveragePrice) == (-2, C.osdSell, 6850.0)
        assert desk.summary("ProfitLoss") == (-12.5,)  # bought at the ask, sold at the bid


def test_stop_order_fills_only_once_triggered():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        stop = desk.order(C.otStop, 1, C.osdBuy, 0, 6851.0)
        stop.Place()
        desk.market(6850.25, 6850.5, trade=6850.5)
        desk.sim.sync()
        assert desk.changes(stop.GUID)[-1][2] == C.osInOrderBook
        desk.market(6851.0, 6851.25, trade=6851.25)
        desk.sim.sync()
        assert desk.changes(stop.GUID)[-1][2:5] == (C.osFilled, 1, 6851.25)


def test_cancel_goes_through_in_cancel_to_cancelled():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        order = desk.order(C.otLimit, 1, C.osdBuy, 6800.0)
        order.Place()
        desk.sim.sync()
        desk.cel.Orders.ItemByGuid(order.GUID).Cancel()
        desk.sim.sync()
        assert [e[2] for e in desk.changes(order.GUID)] == [
            C.osInTransit, C.osInOrderBook, C.osInCancel, C.osCanceled]
        with pytest.raises(pywintypes.com_error) as err:
            desk.cel.Orders.ItemByGuid("{00000000-0000-0000-0000-000000000000}")
        assert "no order" in err.value.excepinfo[2]


def test_invalid_orders_are_rejected_after_being_added():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        orders = [desk.order(C.otMarket, 0, C.osdBuy), desk.order(C.otMarket, -2, C.osdSell),
                  desk.order(C.otMarket, 1, C.osdBuy, account=False),
                  desk.order(C.otLimit, 1, C.osdBuy)]
        for o in orders:
            o.Place()
        desk.sim.sync()
        for o in orders:
            assert [(e[0], e[2]) for e in desk.changes(o.GUID)] == [
                (C.ctAdded, C.osInTransit), (C.ctChanged, C.osRejectGW)]
        assert desk.sink.of("OnAccountChanged") == []
        assert desk.account.Positions.Count == 0


def test_scripted_order_failures_external_orders_and_status_changes():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.sim.respond("Place", "error", times=1, code=9, description="risk limit")
        failed = desk.order(C.otMarket, 1, C.osdBuy)
        failed.Place()
        desk.sim.sync()
        (added,) = desk.changes(failed.GUID)
        assert added[0] == C.ctAdded and added[2] == C.osRejectGW and added[7] == (9, "risk limit")
        desk.sim.respond("Place", "hold")
        late = desk.order(C.otLimit, 1, C.osdBuy, 6800.0)
        late.Place()
        desk.sim.sync()
        assert desk.changes(late.GUID) == [] and desk.sim.held() == ["Place"]
        desk.sim.respond("Place", "answer")
        desk.sim.release("Place")
        ext = desk.sim.external_order(ACCOUNT, "EPZ5", "osdSell", 4, "otLimit", 6900.0)
        desk.sim.sync()
        assert desk.changes(late.GUID)[-1][2] == C.osInOrderBook
        assert [e[2] for e in desk.changes(ext)] == [C.osInTransit, C.osInOrderBook]
        desk.sim.fill(ext, quantity=1)
        desk.sim.set_order_status(late.GUID, "osExpired")
        desk.sim.remove_order(late.GUID)
        desk.sim.sync()
        partial = desk.changes(ext)[-1]
        assert partial[2:5] == (C.osInOrderBook, 1, 6900.0) and partial[6][3] == 1
        assert [e[:3] for e in desk.changes(late.GUID)[-2:]] == [
            (C.ctChanged, late.GUID, C.osExpired), (C.ctRemoved, late.GUID, C.osExpired)]
        assert desk.account.Positions.ItemByIndex(0).Quantity == -1


def test_order_and_account_events_need_the_account_subscription():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.cel.AccountSubscriptionLevel = C.aslNone
        desk.order(C.otMarket, 1, C.osdBuy).Place()
        desk.sim.sync()
        assert desk.sink.names() == []
        assert desk.account.Positions.ItemByIndex(0).Quantity == 1
        desk.cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
        desk.sim.sync()
        assert desk.sink.of("OnAccountChanged") == [(C.actAccountsReloaded, None, None)]
