"""Failure drills on the running component, the alarms of the simulated clock they run on,
and the chaos driver that fires them at random."""
import datetime as dt
import threading

import pytest

import cqgsim
from cqgsim import constants as C
from cqgsim.alarms import Alarms
from cqgsim.drills import DrillRefused
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots
from tests.cqgsim.test_fill_model import _fills
from tests.cqgsim.test_orders import Desk
from tests.waiting import eventually


def _gw(desk):
    return desk.sink.of("OnGWConnectionStatusChanged")


def test_a_dropped_gateway_comes_back_after_its_seconds_and_a_new_drop_extends_it():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        assert desk.sim.drop_for("gw", 30) == "Gateway connection down for 30 s"
        order = desk.order(C.otMarket, 1, C.osdBuy)
        order.Place()
        desk.sim.advance(20)
        assert desk.sim.drop_for("gw", 15) == "Gateway connection down for 15 s"  # now 35 in all
        desk.sim.advance(14)
        desk.sim.sync()
        assert _gw(desk) == [(C.csConnectionDown,)]
        assert desk.cel.Orders.ItemByGuid(order.GUID).RejectReason == "Not connected to the gateway"
        desk.sim.advance(1)
        desk.sim.sync()
        assert _gw(desk) == [(C.csConnectionDown,), (C.csConnectionUp,)]
        assert desk.sink.of("OnAccountChanged")[-1] == (C.actAccountsReloaded, None, None)
        assert desk.sim.now() - desk.sim.config.start == dt.timedelta(seconds=35)


def test_market_data_down_for_a_while_then_the_quotes_as_they_stand():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        desk.inst.DataSubscriptionLevel = C.dsQuotesAndBBA
        desk.sim.sync()
        desk.sink.clear()
        assert desk.sim.drop_for("data", 10) == "Market data connection down for 10 s"
        desk.sim.push_ticks("EPZ5", [("trade", 6850.25, 2)])
        desk.sim.sync()
        assert desk.sink.of("OnInstrumentChanged") == []
        desk.sim.advance(10)
        desk.sim.sync()
        assert desk.sink.of("OnDataConnectionStatusChanged") == [
            (C.csConnectionDown,), (C.csConnectionUp,)]
        (_, quotes), = desk.sink.of("OnInstrumentChanged")
        assert (C.qtTrade, 6850.25, True) in quotes


def test_drops_that_cannot_be_are_refused_and_a_logoff_keeps_the_gateway_down():
    with ComponentHost(Snapshots) as host:
        host.cel.Startup()
        host.sim.sync()
        with pytest.raises(DrillRefused, match="gateway connection is not up"):
            host.sim.drop_for("gw", 5)
        for link, seconds in (("fix", 5), ("data", 0), ("data", "5")):
            with pytest.raises(DrillRefused):
                host.sim.drop_for(link, seconds)
        host.cel.GWLogon("trader", "secret")
        host.sim.drop_for("gw", 5)
        host.cel.GWLogoff()
        host.sim.advance(60)
        host.sim.sync()
        assert host.sink.of("OnGWConnectionStatusChanged") == [
            (C.csConnectionUp,), (C.csConnectionDown,), (C.csConnectionDown,)]


def test_the_next_order_is_rejected_with_the_reason_given_and_only_that_one():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        assert desk.sim.reject_next("Fat finger check") == (
            "Next order will be rejected: Fat finger check")
        rejected, passed = desk.order(C.otMarket, 1, C.osdBuy), desk.order(C.otMarket, 1, C.osdBuy)
        rejected.Place()
        passed.Place()
        desk.sim.sync()
        assert [e[2] for e in desk.changes(rejected.GUID)] == [C.osInTransit, C.osRejectGW]
        assert desk.cel.Orders.ItemByGuid(rejected.GUID).RejectReason == "Fat finger check"
        assert desk.changes(passed.GUID)[-1][2] == C.osFilled
        assert desk.sim.reject_next() == "Next order will be rejected: Rejected by the broker (drill)"


def test_the_next_request_is_answered_only_after_its_seconds():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        assert desk.sim.hold_next(15) == "Next request will go unanswered for 15 s"
        order = desk.order(C.otLimit, 1, C.osdBuy, 6849.0)
        order.Place()
        desk.cel.NewInstrument("CLEF6")  # the request after it is answered at once
        desk.sim.advance(14)
        desk.sim.sync()
        assert desk.changes(order.GUID) == [] and desk.sim.held() == ["Place"]
        assert [r[0] for r in desk.sink.of("OnInstrumentResolved")] == ["CLEF6"]
        desk.sim.advance(1)
        desk.sim.sync()
        assert [e[2] for e in desk.changes(order.GUID)] == [C.osInTransit, C.osInOrderBook]
        assert desk.sim.held() == []


def test_a_gap_moves_the_book_prints_where_it_lands_and_triggers_stops():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)  # 6850.00 / 6850.25
        stop = desk.order(C.otStop, 1, C.osdBuy, 0, 6851.0)
        stop.Place()
        assert desk.sim.gap("EPZ5", 8) == "EPZ5 gapped up 8 ticks (2.00): bid 6852.00, offer 6852.25"
        desk.sim.sync()
        assert _fills(desk, stop.GUID) == [(6852.25, 1)]
        desk.sim.push_ticks("CLEF6", [("bid", 58.90, 5), ("ask", 58.91, 5)])
        assert desk.sim.gap("CLEF6", -3) == (
            "CLEF6 gapped down 3 ticks (0.03): bid 58.87, offer 58.88")
        for symbol, ticks in (("NOPE", 3), ("EPZ5", 0), ("EPZ5", 1.5)):
            with pytest.raises(DrillRefused):
                desk.sim.gap(symbol, ticks)


def test_a_live_market_jumps_at_its_next_instant_and_stays_there():
    cqgsim.configure(mode="live", seed=9, speed=0)
    with ComponentHost(Snapshots) as host:
        host.start()
        host.sim.advance(1)
        bid = lambda: host.sim.query(lambda core: core.market_data.markets["F.US.CLEF6"].best(
            C.qtBid))
        before = bid()
        assert host.sim.gap("CLEF6", -40) == "CLEF6 gaps down 40 ticks (0.40)"
        host.sim.advance(0.25)
        assert bid() == pytest.approx(before - 0.40)
        host.sim.advance(30)
        assert abs(bid() - (before - 0.40)) < 0.15  # the walk goes on from there


def test_a_running_live_market_jumps_once():
    cqgsim.configure(mode="live", seed=9, speed=600.0)
    with ComponentHost(Snapshots) as host:
        host.start()
        host.sink.wait_for("OnLineTimeChanged", count=2)
        bid = lambda: host.sim.query(lambda core: core.market_data.markets["F.US.CLEF6"].best(
            C.qtBid))
        before = bid()
        host.sim.gap("CLEF6", -40)
        seen = len(host.sink.of("OnLineTimeChanged"))
        host.sink.wait_for("OnLineTimeChanged", count=seen + 30)  # half a minute on
        assert abs(bid() - (before - 0.40)) < 0.15


def test_an_alarm_cancelled_does_not_run_whatever_its_place():
    alarms = Alarms()
    start = dt.datetime(2025, 12, 1, 14, 30)
    ran = []
    first = alarms.at(start, ran.append, "first")
    alarms.at(start, ran.append, "second").cancel()
    alarms.at(start + dt.timedelta(seconds=1), ran.append, "later")
    first.cancel()
    assert alarms.next_due() == start + dt.timedelta(seconds=1)
    assert [a.args for a in alarms.take_due(start + dt.timedelta(seconds=5))] == [("later",)]
    alarms.at(start, ran.append, "kept")
    alarms.at(start, ran.append, "dropped").cancel()
    assert [a.args for a in alarms.take_due(start)] == [("kept",)]
    assert alarms.next_due() is None


def _chaos_run(seed, advance=1800):
    """Drills a component at 360 an hour for ``advance`` simulated seconds; returns what the
    driver fired and what its callback got."""
    got = []
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        chaos = desk.sim.start_chaos(360, seed=seed, on_drill=got.append, symbols=["EPZ5"])
        desk.sim.advance(advance)
        desk.sim.sync()
        fired = chaos.fired()
        chaos.stop()
        assert not any(t.name == "cqgsim-chaos" for t in threading.enumerate())
        desk.sim.advance(advance)  # stopped: nothing more
        desk.sim.sync()
        assert chaos.fired() == fired
    return fired, got


def test_chaos_fires_drills_at_its_rate_the_same_for_one_seed_and_stops():
    fired, got = _chaos_run(seed=4)
    assert 100 < len(fired) < 260  # 180 expected in half an hour at 360 an hour
    assert got == [text for _, text in fired]
    kinds = {text.split(" ")[0] for _, text in fired}
    assert kinds == {"Gateway", "Market", "Next", "EPZ5"}
    assert _chaos_run(seed=4) == (fired, got)
    assert _chaos_run(seed=5)[0] != fired


def test_stopping_chaos_hands_over_every_drill_it_fired_first():
    gate, got = threading.Event(), []

    def slow(text):  # the first one holds the driver's thread until the stop has begun
        assert gate.wait(10)
        got.append(text)

    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        chaos = desk.sim.start_chaos(3600, seed=2, on_drill=slow, kinds=("reject",))
        desk.sim.advance(60)
        desk.sim.sync()
        stopper = threading.Thread(target=chaos.stop)
        stopper.start()
        eventually(lambda: not chaos.running)
        gate.set()
        stopper.join(10)
        assert len(chaos.fired()) > 10 and got == [text for _, text in chaos.fired()]


def test_chaos_ends_with_the_component_and_refuses_a_rate_that_is_no_rate():
    with ComponentHost(Snapshots) as host:
        desk = Desk(host)
        with pytest.raises(ValueError):
            desk.sim.start_chaos(0)
        with pytest.raises(ValueError):
            desk.sim.start_chaos(10, kinds=("flood",))
        chaos = desk.sim.start_chaos(60)
        host.cel.Shutdown()
        eventually(lambda: not chaos.running)
        chaos.stop()
        assert not any(t.name == "cqgsim-chaos" for t in threading.enumerate())
