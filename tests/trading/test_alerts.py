"""What the operator is told unasked: orders ending without a fill, connections lost and
back, market data gone quiet and back; and the confirmation and summary of /stop."""
import threading
import types

import pytest

import cqgsim
from zandor_trader.chat import Outbox
from zandor_trader.core.constants import OrderStatus
from zandor_trader.core.data import Quote
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.trading import Engine

from ..waiting import eventually
from . import fakes
from .test_engine import answers, ask, desk, dispatch, fakes_order  # noqa: F401  (the fixture)


def test_an_order_cancelled_or_rejected_is_announced_once(desk):
    cancelled, rejected, early = (desk.gateway.send_order(fakes_order(q)) for q in (1, 2, 3))
    desk.adapter.report(cancelled, OrderStatus.SUBMITTED)
    desk.adapter.report(cancelled, OrderStatus.CANCELLED)
    desk.adapter.report(rejected, OrderStatus.FAILED)
    desk.adapter.report(rejected, OrderStatus.FAILED)  # repeated: told once
    assert ask(desk) == [
        f"Order cancelled: {cancelled} EPZ5.CME LONG 1 MARKET OPEN: CANCELLED",
        f"Order rejected, expired or lost by the broker: {rejected} EPZ5.CME LONG 2 MARKET "
        f"OPEN: FAILED"]
    # Reported before the placing call returned the id: told when the order is registered.
    desk.adapter.report("{ORDER-4}", OrderStatus.FAILED)
    desk.gateway.send_order(fakes_order(4))
    assert ask(desk) == ["Order rejected, expired or lost by the broker: {ORDER-4} EPZ5.CME "
                         "LONG 4 MARKET OPEN: FAILED"]
    assert early and ask(desk) == []


def test_market_data_gone_quiet_and_back_is_told_once_each(desk):
    now = [100.0]
    desk.engine.clock = lambda: now[0]
    desk.engine.watch.stale_after = 30.0
    desk.engine.watch.start(desk.gateway.cqg_quotes, now[0])  # every instrument fresh at the start
    now[0] = 110.0
    desk.engine.on_gateway_record("quote", Quote(security=fakes.ES, last_price=6850.0))
    desk.engine.watch.check(125.0)
    assert answers(desk) == []
    desk.engine.watch.check(131.0)
    desk.engine.watch.check(191.0)
    desk.engine.watch.check(200.0)
    assert answers(desk) == ["Market data of CLEF6.NYMEX is stale: nothing for 31 s.",
                             "Market data of EPZ5.CME is stale: nothing for 81 s."]
    now[0] = 205.0
    desk.engine.on_gateway_record("orderbook", Quote(security=fakes.CL))
    desk.engine.serve_pending()  # woken by the data coming back
    assert answers(desk) == ["Market data of CLEF6.NYMEX is flowing again."]


def test_the_running_engine_checks_the_data_on_its_timer_and_tells_a_return_at_once(desk):
    now = [0.0]
    desk.engine.clock = lambda: now[0]
    desk.engine.watch.stale_after = 400.0  # a check every 100 s of this clock
    runner = threading.Thread(target=desk.engine.run)
    runner.start()
    try:
        now[0] = 500.0
        desk.engine.wake()  # the first check is due: both instruments are quiet
        eventually(lambda: len(desk.bot.sent) == 2)
        # Data again: told now, not at the next check 100 s (of real time here) away.
        desk.engine.on_gateway_record("quote", Quote(security=fakes.ES, last_price=6850.0))
        desk.engine.on_gateway_record("orderbook", Quote(security=fakes.CL))
        eventually(lambda: len(desk.bot.sent) == 4)
        now[0] = 1000.0  # quiet again, and the checks go on
        desk.engine.wake()
        eventually(lambda: len(desk.bot.sent) == 6)
    finally:
        desk.engine.request_stop("done")
        runner.join(10)
    assert answers(desk) == ["Market data of EPZ5.CME is stale: nothing for 500 s.",
                             "Market data of CLEF6.NYMEX is stale: nothing for 500 s.",
                             "Market data of EPZ5.CME is flowing again.",
                             "Market data of CLEF6.NYMEX is flowing again.",
                             "Market data of EPZ5.CME is stale: nothing for 500 s.",
                             "Market data of CLEF6.NYMEX is stale: nothing for 500 s."]


def test_market_data_not_watched_is_never_called_stale(desk):
    desk.engine.clock = lambda: 100.0
    desk.engine.on_gateway_record("quote", Quote(security=fakes.ES, last_price=6850.0))
    for off in (None, 0):
        desk.engine.watch.stale_after = off
        desk.engine.watch.check(10_000.0)
    assert answers(desk) == []


def test_stop_with_business_open_asks_for_confirmation_naming_it(desk):
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    working = desk.gateway.send_order(fakes_order(quantity=1))
    (asked,) = ask(desk, zandor_trader_status="Terminated")
    assert asked.splitlines() == [
        "Stop not done yet: the account still has business open.",
        "Open positions: 1", "CQG EPZ5.CME LONG 2 @ 6850.25",
        "Working orders: 1", f"{working} EPZ5.CME LONG 1 MARKET OPEN: UNKNOWN",
        "Send /stop again (or /stop force) to end the session anyway; positions and orders "
        "are left as they are."]
    assert desk.engine._stop_reason is None
    # Another request in between: the next /stop asks again.
    assert len(ask(desk, get_deals=True)) == 1
    assert ask(desk, zandor_trader_status="Terminated")[0].startswith("Stop not done yet")
    assert ask(desk, zandor_trader_status="Terminated") == []
    assert desk.engine._stop_reason == "/stop from the operator"
    summary = desk.engine.summary("/stop from the operator")
    assert summary.splitlines()[:3] == ["Zandor-Trader terminated (/stop from the operator).",
                                        "Realized P&L: 0", "Open positions: 1"]


def test_stop_force_or_nothing_open_ends_at_once(desk):
    assert ask(desk, zandor_trader_status="Terminated") == []
    assert desk.engine._stop_reason == "/stop from the operator"


def test_a_stop_after_the_session_was_told_to_end_changes_nothing(desk):
    desk.adapter.open_positions = [fakes.long_position()]
    desk.engine.request_stop("Ctrl-C")
    dispatch(desk, zandor_trader_status="Terminated")  # a /stop queued behind it
    desk.engine.serve_pending()
    assert desk.engine._stop_reason == "Ctrl-C" and answers(desk) == []


def test_stop_force_ends_whatever_is_open(desk):
    desk.adapter.open_positions = [fakes.long_position()]
    bot = desk.bot
    bot.zandor_trader_status = "Terminated"
    desk.intake.on_dispatched(types.SimpleNamespace(effective_message=types.SimpleNamespace(
        text="/stop force")), types.SimpleNamespace(args=["force"]))
    desk.engine.serve_pending()
    assert answers(desk) == [] and desk.engine._stop_reason == "/stop from the operator"


def test_the_gateway_connection_lost_and_back_is_announced_but_not_the_logoff():
    cqgsim.reset()
    gateway = CqgGateway({"EPZ5": fakes.ES})
    bot = fakes.Bot()
    outbox = Outbox(bot.send_message).start()
    engine = Engine(bot, gateway, outbox=outbox)
    gateway.add_listener(engine.on_gateway_record)
    try:
        gateway.connect("trader", "pw", 100101)
        sim = cqgsim.latest()
        for link in ("gw", "data"):
            sim.drop(link)
            sim.sync()
            sim.restore(link)
            sim.sync()
    finally:
        gateway.close()
    engine.serve_pending()
    assert outbox.flush(10)
    outbox.close()
    assert bot.sent == ["Gateway connection LOST.", "Gateway connection restored.",
                        "Market data connection LOST.", "Market data connection restored."]


def test_an_instrument_the_broker_does_not_know_is_left_out_and_none_known_fails(capsys):
    cqgsim.reset()
    from zandor_trader.core.constants import Exchange
    from zandor_trader.core.security import Security

    zn = Security("ZN", Exchange.CBOT)
    gateway = CqgGateway({"EPZ5": fakes.ES, "ZNH6": zn})
    try:
        gateway.connect("trader", "pw", 100101)
        assert list(gateway.cqg_symbols) == ["EPZ5"] and zn not in gateway.cqg_quotes
        assert gateway.left_out == {"ZNH6": "Unknown symbol: ZNH6"}
        assert str(gateway.tick_size(fakes.ES)) == "0.25"  # as the component has it
    finally:
        gateway.close()
    assert ("Instrument ZNH6 is not known to the broker (Unknown symbol: ZNH6): left out of "
            "this session") in capsys.readouterr().out
    cqgsim.reset()
    gateway = CqgGateway({"ZNH6": zn})
    try:
        try:
            gateway.connect("trader", "pw", 100101)
        except ConnectionError as exc:
            assert str(exc) == ("the broker knows none of the instruments: "
                                "ZNH6: Unknown symbol: ZNH6")
        else:
            raise AssertionError("connected without an instrument")
    finally:
        gateway.close()


@pytest.fixture
def scripted():
    """The engine with a gateway on the scripted simulated broker, logged on; EPZ5 quoted."""
    cqgsim.reset()
    gateway = CqgGateway({"EPZ5": fakes.ES})
    bot = fakes.Bot()
    outbox = Outbox(bot.send_message).start()
    engine = Engine(bot, gateway, outbox=outbox)
    gateway.add_listener(engine.on_gateway_record)
    try:
        gateway.connect("trader", "pw", 100101)
        sim = cqgsim.latest()
        sim.push_ticks("EPZ5", [("bid", 6850.0, 10), ("ask", 6850.25, 10), ("trade", 6850.25, 1)])
        sim.sync()
        yield types.SimpleNamespace(gateway=gateway, bot=bot, outbox=outbox, engine=engine,
                                    sim=sim)
    finally:
        gateway.close()
        outbox.close()


def told(scripted):
    """What the engine told the operator since the last call."""
    scripted.sim.sync()
    scripted.engine.serve_pending()
    assert scripted.outbox.flush(10)
    sent, scripted.bot.sent = scripted.bot.sent, []
    return sent


def test_a_rejection_is_told_with_the_brokers_reason(scripted):
    scripted.sim.reject_next("Fat finger")
    rejected = scripted.gateway.send_order(fakes_order(2))
    # The next order is not rejected: the drill and its reason belong to the one order.
    filled = scripted.gateway.send_order(fakes_order(1))
    deal, rejection = told(scripted)  # deals are told first
    assert rejection == (f"Order rejected by the broker: {rejected} EPZ5.CME LONG 2 MARKET "
                         f"OPEN: FAILED. Reason: Fat finger")
    assert deal.startswith("Deal: ") and filled in deal
    assert scripted.gateway.trades.get(filled).reason is None


def test_an_order_while_the_market_is_closed_is_rejected_plainly(scripted):
    # 16:00 in Chicago: the daily break.
    scripted.sim.advance(7.5 * 3600)
    rejected = scripted.gateway.send_order(fakes_order(1))
    (alert,) = told(scripted)
    assert alert == (f"Order rejected by the broker: {rejected} EPZ5.CME LONG 1 MARKET OPEN: "
                     f"FAILED. Reason: Market closed: F.US.EPZ5 trades again from Mon 2025-12-01 "
                     f"17:00 Chicago time")
