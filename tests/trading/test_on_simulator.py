"""The engine's order rules on the scripted simulated broker: the day's loss limit crossed by a
losing round trip, the broker's reason in a rejection, no order while the gateway is down."""
import types
from decimal import Decimal

import pytest

import cqgsim
from zandor_trader.chat import Outbox, RequestIntake
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.trading import Engine, Limits

from . import fakes


@pytest.fixture
def session():
    """The engine on a gateway connected to the scripted component, served from this thread
    (the gateway's)."""
    cqgsim.reset()
    gateway = CqgGateway({"EPZ5": fakes.ES})
    bot = fakes.Bot()
    outbox = Outbox(bot.send_message).start()
    engine = Engine(bot, gateway, outbox=outbox, limits=Limits(max_daily_loss=Decimal(800)))
    gateway.add_listener(engine.on_gateway_record)
    try:
        gateway.connect("trader", "pw", 100101)
        sim = cqgsim.latest()
        engine.check_risk()  # the day's start, as the running engine takes it
        yield types.SimpleNamespace(gateway=gateway, engine=engine, sim=sim, bot=bot,
                                    outbox=outbox, intake=RequestIntake(bot, engine.submit))
    finally:
        gateway.close()
        outbox.close()
        cqgsim.reset()


def market(s, bid, ask):
    s.sim.push_ticks("EPZ5", [("bid", bid, 50), ("ask", ask, 50), ("trade", bid, 1)])
    s.sim.sync()


def order(s, order_string):
    """Sends an order, lets the broker answer it, and returns what the operator was told."""
    s.bot.send_order, s.bot.order_string = True, order_string
    s.intake.on_dispatched()
    s.engine.serve_pending()
    s.sim.sync()
    s.engine.serve_pending()
    assert s.outbox.flush(10)
    told, s.bot.sent = s.bot.sent, []
    return told


def test_a_losing_round_trip_crosses_the_daily_limit(session):
    s = session
    market(s, 6850.00, 6850.25)
    assert order(s, "EPZ5,2,l,o,m,CQG,None,None")[0].startswith("Order placed")
    market(s, 6840.00, 6840.25)  # 10 points down: 500 a contract
    told = order(s, "EPZ5,1,s,c,m,CQG,None,None")
    assert told[0].startswith("Order placed") and told[1].startswith("Deal: ")
    assert told[2] == (
        "Daily loss limit reached: today's P&L -1,025.00 (realized -512.50, open -512.50) is "
        "below -800.00. Orders that open or increase risk are refused until the next trading "
        "day; orders that reduce risk still pass.")
    (refused,) = order(s, "EPZ5,1,l,o,m,CQG,None,None")
    assert refused.startswith("Order refused: trading is halted for the day: the daily loss "
                              "limit of 800.00 was reached at ")
    placed = order(s, "EPZ5,1,s,c,m,CQG,None,None")
    assert placed[0].startswith("Order placed") and placed[1].startswith("Deal: ")
    assert s.gateway.query_positions() == []


def test_a_rejection_carries_the_brokers_reason_and_a_gateway_down_sends_nothing(session):
    s = session
    market(s, 6850.00, 6850.25)
    s.sim.reject_next("Fat finger")
    s.sim.sync()
    placed, rejected = order(s, "EPZ5,1,l,o,m,CQG,None,None")
    order_id = placed.split()[2]
    assert rejected == (f"Order rejected by the broker: {order_id} EPZ5.CME LONG 1 MARKET "
                        f"OPEN: FAILED. Reason: Fat finger")
    s.sim.drop("gw")
    s.sim.sync()
    since = s.gateway.down_since()
    assert order(s, "EPZ5,1,l,o,m,CQG,None,None") == [
        "Gateway connection LOST.", f"Gateway connection down since {since:%H:%M}; order not sent."]
    assert len(s.gateway.trades.orders()) == 1
