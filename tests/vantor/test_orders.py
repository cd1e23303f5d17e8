"""Placing and cancelling orders on the simulated component; order updates and deals."""
import datetime
import types

import pytest
import pythoncom

import cqgsim
from cqgsim import constants as C
from zandor_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import vantor

from tests.vantor.orders_support import (
    ACCOUNT, SECURITIES, Background, Session, eventually, market, order)

GC = Security("GC", Exchange.COMEX)  # known to the host, never subscribed on the component


@pytest.fixture(scope="module")
def desk():
    cqgsim.reset()
    s = Session(dict(SECURITIES, GCEG6=GC), resolve=list(SECURITIES))
    s.subscribe(ACCOUNT)
    market(s.sim)
    yield s
    s.close()
    cqgsim.reset()


def updates_of(s, guid):
    s.sim.sync()
    return [u for u in list(s.gateway.order_updates) if u["order_id"] == guid]


def deals_of(s, guid):
    s.sim.sync()
    return [d for d in list(s.gateway.deals) if d["order_id"] == guid]


def test_each_order_type_passes_its_own_arguments_and_returns_its_own_guid(desk, capsys):
    s = desk
    placed = {
        "market": s.adapter.place_order(order(order_type=OrderType.MARKET, direction=Direction.SHORT,
                                              quantity=2, price=1.0)),
        "limit": s.adapter.place_order(order=order(price=6800.0, quantity=3)),
        "stop": s.adapter.place_order(order(order_type=OrderType.STOP, price=6900.0,
                                            stop_price=6890.0)),
    }
    orders = s.orders()
    # (type, side, quantity, limit, stop, manual): a market order has no price at all, a
    # limit order its price, a stop order both, in that order.
    assert orders[placed["market"]] == (C.otMarket, C.osdSell, 2, None, None, 0)
    assert orders[placed["limit"]] == (C.otLimit, C.osdBuy, 3, 6800.0, None, 0)
    assert orders[placed["stop"]] == (C.otStop, C.osdBuy, 1, 6900.0, 6890.0, 0)
    assert all(type(guid) is str for guid in placed.values())
    assert s.adapter.order_id is None and s.adapter.eventOrderPlaced.is_set()
    # The added event is never an order update: the limit order is only reported working.
    assert [u["status"] for u in updates_of(s, placed["limit"])] == [OrderStatus.SUBMITTED]
    assert "is not placed by algo" not in capsys.readouterr().out


def test_orders_that_cannot_be_placed_are_refused_before_the_component_sees_them(desk):
    s = desk
    before = s.orders()
    # The symbol is checked first, then the type, then the side.
    with pytest.raises(ValueError, match=r"^cqg_symbol GCEG6 has not been subscribed\.$"):
        s.adapter.place_order(order(security=GC, order_type=OrderType.FAK, direction=Direction.NET))
    with pytest.raises(ValueError, match=r"^Unsupported order type OrderType\.FAK$"):
        s.adapter.place_order(order(order_type=OrderType.FAK, direction=Direction.NET))
    with pytest.raises(ValueError, match=r"^Unsupported order side Direction\.NET$"):
        s.adapter.place_order(order(direction=Direction.NET))
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        s.adapter.place_order()
    assert s.orders() == before


def test_cancel_and_fills_are_reported_with_their_keys_in_order(desk):
    s = desk
    resting = s.adapter.place_order(order(price=6700.0, quantity=2))
    s.adapter.cancel_order(resting)
    updates = updates_of(s, resting)
    assert [u["status"] for u in updates] == [
        OrderStatus.SUBMITTED, OrderStatus.UNKNOWN, OrderStatus.CANCELLED]  # in cancel, cancelled
    assert all(list(u) == ["order_id", "updated_time", "filled_avg_price", "filled_quantity",
                           "status"] for u in updates)
    stamp = updates[-1]["updated_time"]
    assert type(stamp) is datetime.datetime and stamp.tzinfo is None and stamp.microsecond == 0
    s.sim.remove_order(resting)
    assert [u["status"] for u in updates_of(s, resting)][3:] == [OrderStatus.CANCELLED]

    working = s.adapter.place_order(order(price=6700.0, quantity=3))
    s.sim.fill(working, quantity=1, price=6700.0)
    s.sim.fill(working, quantity=2, price=6699.0)
    deals = deals_of(s, working)
    fills = [fill_id for fill_id, guid in s.fills() if guid == working]
    assert [d["deal_id"] for d in deals] == fills and len(fills) == 2
    assert all(list(d) == ["deal_id", "order_id", "updated_time", "filled_avg_price",
                           "filled_quantity"] for d in deals)
    assert [(d["filled_avg_price"], d["filled_quantity"]) for d in deals] == [(6700.0, 1), (6699.0, 2)]
    assert deals[0]["updated_time"].microsecond == 0 and deals[0]["updated_time"].tzinfo is None
    last = updates_of(s, working)[-1]
    assert (last["status"], last["filled_quantity"]) == (OrderStatus.FILLED, 3)
    assert last["filled_avg_price"] == pytest.approx((6700.0 + 2 * 6699.0) / 3)


def test_cancel_takes_only_text_and_passes_the_component_errors(desk):
    s = desk
    for wrong, name in ((123, "int"), (None, "NoneType")):
        with pytest.raises(TypeError, match=rf"^Argument 'orderid' has incorrect type \(expected str, got {name}\)$"):
            s.adapter.cancel_order(wrong)
    with pytest.raises(pythoncom.com_error) as raised:
        s.adapter.cancel_order(orderid="{no such order}")
    assert "There is no order with GUID" in raised.value.excepinfo[2]


def test_a_busted_fill_is_an_update_but_not_a_deal(desk):
    s = desk
    guid = s.adapter.place_order(order(order_type=OrderType.MARKET, quantity=1))
    assert len(deals_of(s, guid)) == 1
    s.sim.set_order_status(guid, "osBusted")  # the change carries the busted fill
    assert updates_of(s, guid)[-1]["status"] == OrderStatus.FILLED
    assert len(deals_of(s, guid)) == 1


def test_an_order_event_carrying_an_error_is_ignored(desk, monkeypatch, capsys):
    s = desk
    monkeypatch.setattr(vantor, "TIMEOUT", 0.3)
    s.sim.respond("Place", "error", times=1)  # the added event carries an error object
    rejected = order(price=6701.0)
    before = set(s.orders())
    with pytest.raises(RuntimeError) as raised:
        s.adapter.place_order(rejected)
    assert str(raised.value) == f"Order placing timeout!\n{rejected} "
    (guid,) = set(s.orders()) - before
    assert updates_of(s, guid) == [] and "not placed by algo" not in capsys.readouterr().out


def test_an_order_entered_elsewhere_while_a_placement_waits_is_not_taken(desk, capsys):
    s = desk
    s.sim.respond("Place", "hold", times=1)
    placing = Background(s.adapter.place_order, order(price=6702.0))
    eventually(lambda: s.sim.held() == ["Place"])
    elsewhere = s.sim.external_order(ACCOUNT, "EPZ5", "osdSell", 1, "otLimit", 7000.0)
    s.sim.sync()
    assert not s.adapter.eventOrderPlaced.is_set()  # the placement still waits
    s.sim.release("Place")
    guid = placing.join()
    assert guid != elsewhere and s.orders()[guid][3] == 6702.0
    out = capsys.readouterr().out
    assert out.count(f"orderid {elsewhere} is not placed by algo\n") == 1
    assert "orderid " + guid not in out
    # Later changes of the other order still reach the host.
    assert [u["status"] for u in updates_of(s, elsewhere)] == [OrderStatus.SUBMITTED]


def test_a_late_answer_is_not_taken_by_the_next_placement(desk, monkeypatch, capsys):
    s = desk
    s.sim.respond("Place", "hold")
    monkeypatch.setattr(vantor, "TIMEOUT", 0.3)
    with pytest.raises(RuntimeError, match="^Order placing timeout!"):
        s.adapter.place_order(order(price=6703.0))
    (late,) = s.held_orders()
    monkeypatch.setattr(vantor, "TIMEOUT", 10)
    placing = Background(s.adapter.place_order, order(price=6704.0))
    eventually(lambda: s.sim.held() == ["Place", "Place"])
    s.sim.respond("Place")
    s.sim.release("Place")  # the late answer comes first, then the waiting placement's
    guid = placing.join()
    assert guid not in (late, None) and s.orders()[guid][3] == 6704.0
    assert s.adapter.order_id is None
    assert capsys.readouterr().out.count(f"orderid {late} is not placed by algo\n") == 1


def test_a_status_outside_the_table_fails_the_event_before_the_host_hears_of_it(desk, capsys):
    s = desk
    guid = s.adapter.place_order(order(price=6705.0))
    reported = len(updates_of(s, guid))
    s.sim.set_order_status(guid, 999)
    assert len(updates_of(s, guid)) == reported
    err = capsys.readouterr().err
    assert "Order status 999 is not valid to be handled by zandor_trader." in err


def test_status_conversion():
    groups = {
        OrderStatus.UNKNOWN: ["osActiveAt", "osContingent", "osInCancel", "osInClient",
                              "osInModify", "osInTransit", "osNotSent", "osParked"],
        OrderStatus.SUBMITTED: ["osInOrderBook"],
        OrderStatus.FILLED: ["osFilled", "osBusted"],
        OrderStatus.CANCELLED: ["osCanceled"],
        OrderStatus.FAILED: ["osRejectFCM", "osRejectGW", "osDisconnected", "osExpired",
                             "osInTransitTimeout"],
    }
    for expected, names in groups.items():
        for name in names:
            assert vantor.convert_orderstatus_cqg2qt(getattr(C, name)) is expected, name
    assert vantor.convert_orderstatus_cqg2qt(status=C.osFilled) is OrderStatus.FILLED
    outside = max(C.ENUMS["eOrderStatus"].values()) + 1
    with pytest.raises(ValueError, match=rf"^Order status {outside} is not valid to be handled by zandor_trader\.$"):
        vantor.convert_orderstatus_cqg2qt(outside)
    with pytest.raises(ValueError, match=r"^Order status None is not valid"):
        vantor.convert_orderstatus_cqg2qt(None)


# The handler on its own, fed the component's objects directly.

class Properties:
    def __init__(self, values):
        self._values = values

    def __call__(self, ident):
        return types.SimpleNamespace(Value=self._values[ident])


class FakeOrder:
    def __init__(self, guid):
        self.GUID = guid
        self.Properties = Properties({
            C.opGWStatus: C.osInOrderBook, C.opGUID: guid, C.opAverageFillPrice: 101.5, C.opFilledQuantity: 2,
            C.opEventServerTimestamp: datetime.datetime(2025, 12, 1, 12, 34, 56, 789000)})


class FakeFill:
    def __init__(self, order):
        self.Status, self.Order, self.Id = C.fsNormal, order, "F-1"
        self.Timestamp = datetime.datetime(2025, 12, 1, 12, 34, 57, 999999)
        self.Price, self.Quantity = 101.5, 2


@pytest.fixture
def bare():
    adapter = vantor.Vantor()
    adapter.gateway = CqgGateway(SECURITIES)
    return adapter


def test_an_added_order_that_no_placement_waits_for_is_reported_and_not_taken(bare, capsys):
    bare.OnOrderChanged(C.ctAdded, FakeOrder("{A}"), None, FakeFill(FakeOrder("{A}")), None)
    assert capsys.readouterr().out == "orderid {A} is not placed by algo\n"
    assert bare.order_id is None and not bare.eventOrderPlaced.is_set()
    assert list(bare.gateway.deals) == []  # nor is its fill reported


def test_an_error_makes_the_handler_ignore_the_event_fill_included(bare, capsys):
    for change in (C.ctAdded, C.ctChanged):
        bare.OnOrderChanged(change, FakeOrder("{B}"), None, FakeFill(FakeOrder("{B}")), object())
    assert capsys.readouterr().out == ""
    assert list(bare.gateway.order_updates) == [] and list(bare.gateway.deals) == []
    assert bare.order_id is None and not bare.eventOrderPlaced.is_set()
    bare.OnOrderChanged(C.ctChanged, FakeOrder("{B}"), None, FakeFill(FakeOrder("{B}")), None)
    ((update,), (deal,)) = list(bare.gateway.order_updates), list(bare.gateway.deals)
    assert update["updated_time"] == datetime.datetime(2025, 12, 1, 12, 34, 56)
    assert deal == {"deal_id": "F-1", "order_id": "{B}", "updated_time": datetime.datetime(2025, 12, 1, 12, 34, 57),
                    "filled_avg_price": 101.5, "filled_quantity": 2}
