"""Every order the broker has is tracked: a placement that timed out becomes the broker's
order when it shows up (or is reported not placed once certain), and an order entered
elsewhere is listed, counted and closed like the session's own. The simulated component in
scripted mode, hosted by the environment as the session does, driven from the test thread
(the gateway's)."""
import types
from decimal import Decimal

import pytest

import cqgsim
from zandor_trader.core.constants import Exchange, OrderStatus
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import vantor
from zandor_trader.trading import Engine, Limits, Request, prices
from tests.waiting import eventually

ES = Security("EPZ5", Exchange.CME)
CL = Security("CLEF6", Exchange.NYMEX)


class Outbox:
    def __init__(self):
        self.texts = []

    def put(self, text, on_sent=None):
        self.texts.append(text)
        if on_sent is not None:
            on_sent()


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def desk(monkeypatch):
    cqgsim.reset()
    cqgsim.configure(mode="scripted")
    monkeypatch.setattr(vantor, "TIMEOUT", 0.3)  # placements meant to time out do so at once
    gateway = CqgGateway({"EPZ5": ES})
    gateway.connect("trader", "secret", 100101)
    prices.use_tick_source(gateway.tick_size)
    sim = cqgsim.latest()
    sim.push_ticks("EPZ5", [("bid", 6850.0, 50), ("ask", 6850.25, 50), ("trade", 6850.0, 1)])
    sim.sync()
    outbox, clock = Outbox(), Clock()
    engine = Engine(types.SimpleNamespace(zandor_trader_status="Running"), gateway,
                    outbox=outbox, clock=clock, limits=Limits(max_position=3))
    gateway.add_listener(engine.on_gateway_record)
    try:
        yield types.SimpleNamespace(gateway=gateway, sim=sim, engine=engine, outbox=outbox,
                                    clock=clock)
    finally:
        prices.use_tick_source(None)
        gateway.close()
        assert sim.errors == []
        cqgsim.reset()


def ask(desk, kind, **params):
    """Serves one request (and what the broker said since); returns the new answers."""
    before = len(desk.outbox.texts)
    desk.engine.submit(Request(kind, params, args=params.get("args", ())))
    desk.engine.serve_pending()
    return desk.outbox.texts[before:]


def settle(desk):
    """Lets the broker's events arrive, then the engine look."""
    before = len(desk.outbox.texts)
    desk.sim.sync()
    desk.engine.serve_pending()
    return desk.outbox.texts[before:]


def test_a_timed_out_placement_becomes_the_brokers_order_cancelled_and_named_at_stop(desk):
    desk.sim.respond("Place", "hold")
    (told,) = ask(desk, "send_order", order_string="EPZ5,2,l,o,l,CQG,6849.00,None")
    assert told.startswith("Placement of EPZ5 LONG 2 LIMIT 6849.00 timed out: its outcome is "
                           "not known yet.")
    assert desk.gateway.trades.orders(active_only=True) == []
    # Until it shows up it counts against the position limit: the broker may have it.
    (refused,) = ask(desk, "send_order", order_string="EPZ5,2,l,o,l,CQG,6849.00,None")
    assert refused.startswith("Order refused: it could take the position in EPZ5.CME to 4 long")

    desk.sim.respond("Place")
    desk.sim.release("Place")
    (matched,) = settle(desk)
    (order,) = desk.gateway.trades.orders(active_only=True)
    assert matched == (f"Placement of EPZ5 LONG 2 LIMIT 6849.00 timed out; the broker has it "
                       f"as {order.order_id}, now tracked")
    assert order.price == Decimal("6849.00") and desk.gateway.trades.timed_out() == []

    (stop,) = ask(desk, "stop")
    assert "Working orders: 1" in stop and order.order_id in stop
    cancelling, *after = ask(desk, "cancel_orders")
    assert cancelling == f"Cancelling 1 active orders:\ncancel requested: {order.order_id}"
    (cancelled,) = after + settle(desk)  # the broker may answer before the engine sleeps
    assert cancelled.startswith(f"Order cancelled: {order.order_id}")
    assert desk.gateway.trades.orders(active_only=True) == []


def test_a_placement_the_broker_never_got_is_reported_not_placed_once_certain(desk):
    desk.sim.respond("Place", "drop")
    ask(desk, "send_order", order_string="EPZ5,1,s,o,l,CQG,6852.00,None")
    settle_after = desk.engine.tracking.settle_after
    assert desk.engine.tracking.due() is not None
    desk.clock.now += settle_after / 2
    desk.engine.serve_pending()
    desk.engine._run_timers(desk.clock.now)
    assert desk.gateway.trades.timed_out() != []  # not yet certain

    # A drop of the gateway connection meanwhile: events may have been missed, wait again.
    desk.sim.drop("gw")
    desk.sim.restore("gw")
    desk.sim.sync()
    desk.clock.now += settle_after
    desk.engine._run_timers(desk.clock.now)
    assert desk.gateway.trades.timed_out() != []
    assert desk.engine.tracking.due() == pytest.approx(desk.clock.now + settle_after)

    desk.clock.now += settle_after
    before = len(desk.outbox.texts)
    desk.engine._run_timers(desk.clock.now)
    assert desk.outbox.texts[before:] == [
        f"Placement of EPZ5 SHORT 1 LIMIT 6852.00 timed out and was not placed: the broker has "
        f"no such order {settle_after:g} s after the time-out."]
    assert desk.gateway.trades.timed_out() == [] and desk.engine.tracking.due() is None


def test_an_order_entered_elsewhere_is_listed_counted_and_its_position_closed(desk):
    guid = desk.sim.external_order(100101, "EPZ5", "osdBuy", 2, "otLimit", 6849.0)
    (told,) = settle(desk)
    assert told == (f"Order entered elsewhere, now tracked: {guid} EPZ5.CME LONG 2 LIMIT "
                    f"price=6849.00 OPEN: SUBMITTED")
    (listed,) = ask(desk, "get_orders", active_orders=True, num_orders_displayed=5)
    assert guid in listed
    (refused,) = ask(desk, "send_order", order_string="EPZ5,2,l,o,m,CQG,None,None")
    assert "working 2 on that side" in refused

    desk.sim.fill(guid, quantity=2)
    (deal,) = settle(desk)
    assert deal.startswith("Deal: ") and f"order {guid} EPZ5.CME LONG 2 @ 6849.00" in deal
    told = ask(desk, "close_positions", close_positions_gateway_name=None)
    eventually(lambda: told.extend(settle(desk)) or any(t.startswith("Flat") for t in told))
    assert [t for t in told if t.startswith("Flat")] == ["Flat: EPZ5: 2 closed in 1 order"]
    assert not desk.gateway.query_positions()


def test_orders_of_an_instrument_not_traded_and_of_other_accounts(desk):
    other = desk.sim.external_order(100102, "EPZ5", "osdSell", 1, "otLimit", 6860.0)
    guid = desk.sim.external_order(100101, "CLEF6", "osdSell", 3, "otStop", stop_price=58.0)
    told = settle(desk)
    assert len(told) == 1 and guid in told[0] and other not in told[0]
    (order,) = desk.gateway.trades.orders(active_only=True)
    assert (order.security.code, order.quantity, order.price, order.stop_price) == (
        "CLEF6", 3, None, Decimal("58.0"))
    assert order.status == OrderStatus.SUBMITTED
    cancelling = ask(desk, "cancel_order", cancel_order_id=guid[1:9], gateway_name="CQG")[0]
    assert cancelling.startswith(f"Cancel requested for order {guid}")



def test_a_timed_out_placement_the_broker_refused_is_matched_and_said_refused(desk):
    desk.sim.respond("Place", "hold")
    ask(desk, "send_order", order_string="EPZ5,1,s,o,l,CQG,6851.00,None")
    desk.sim.respond("Place")
    desk.sim.release("Place", how="error", code=7, description="Rejected")
    matched, ended = settle(desk)
    (order,) = desk.gateway.trades.orders()
    assert matched == (f"Placement of EPZ5 SHORT 1 LIMIT 6851.00 timed out; the broker has it "
                       f"as {order.order_id}, now tracked")
    assert ended.startswith(f"Order rejected, expired or lost by the broker: {order.order_id}")
    assert desk.gateway.trades.orders(active_only=True) == []
    assert desk.gateway.trades.timed_out() == []


def test_a_placement_is_matched_only_by_an_order_like_it(desk):
    desk.sim.respond("Place", "drop", times=1)
    ask(desk, "send_order", order_string="EPZ5,2,l,o,l,CQG,6849.00,None")
    for quantity, price in ((1, 6849.0), (2, 6848.75)):  # alike but for one field
        guid = desk.sim.external_order(100101, "EPZ5", "osdBuy", quantity, "otLimit", price)
        (told,) = settle(desk)
        assert told.startswith(f"Order entered elsewhere, now tracked: {guid}")
    assert len(desk.gateway.trades.timed_out()) == 1
