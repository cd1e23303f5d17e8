"""The short order commands on the scripted simulated broker: /buy and /sell by either name of
the instrument, open or close as the position asks, every check of /send_order; /cancel with
the gateway implied; an order above confirm_above placed only once confirmed."""
import types
from decimal import Decimal

import pytest

import cqgsim
from zandor_trader.chat import Outbox
from zandor_trader.core.constants import Exchange, Offset
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.trading import Engine, Limits, Request, prices
from zandor_trader.trading.fast_lane import FastLane
from zandor_trader.trading.questions import CANCEL, CONFIRM, PRESS

from . import fakes

ES = Security("ES", Exchange.CME)  # the operator's name for EPZ5


@pytest.fixture
def lane():
    """The engine with its short commands on a gateway connected to the scripted component,
    served from this thread (the gateway's)."""
    cqgsim.reset()
    gateway = CqgGateway({"EPZ5": ES})
    prices.use_tick_source(gateway.tick_size)  # prices with the contract's decimals
    bot = fakes.Bot()
    outbox = Outbox(bot.send_message).start()
    engine = Engine(bot, gateway, outbox=outbox,
                    limits=Limits(max_order_quantity=5, max_position=6, confirm_above=3))
    gateway.add_listener(engine.on_gateway_record)
    fast = FastLane(engine).install()
    gateway.add_listener(fast.on_gateway_record)
    outlet = fakes.Outlet(engine)
    now = [1000.0]
    engine.clock = lambda: now[0]
    try:
        gateway.connect("trader", "pw", 100101)
        sim = cqgsim.latest()
        sim.push_ticks("EPZ5", [("bid", 6850.00, 50), ("ask", 6850.25, 50),
                                ("trade", 6850.00, 1)])
        sim.sync()
        yield types.SimpleNamespace(gateway=gateway, engine=engine, sim=sim, bot=bot,
                                    outbox=outbox, outlet=outlet, now=now)
    finally:
        gateway.close()
        outbox.close()
        cqgsim.reset()
        prices.use_tick_source(None)


def served(s):
    """Serves what is queued, lets the broker answer, serves again; what the operator was
    told meanwhile."""
    s.engine.serve_pending()
    s.sim.sync()
    s.engine.serve_pending()
    assert s.outbox.flush(10)
    told, s.bot.sent = s.bot.sent, []
    return told


def say(s, text):
    command, *words = text.split()
    s.engine.submit(Request(command[1:], {"args": tuple(words)}, text=text))
    return served(s)


def press(s, choice=CONFIRM, question=None):
    question = question or s.outlet.questions[-1]
    s.engine.submit(Request(PRESS, {"key": question.key, "choice": choice, "query_id": "q"}))
    return served(s)


def working(s):
    return s.gateway.trades.orders(active_only=True)


def test_buy_and_sell_by_either_name_open_or_close_as_the_position_asks(lane):
    s = lane
    placed, deal = say(s, "/buy es 2")
    assert placed.startswith("Order placed: {") and placed.endswith(" ES.CME LONG 2 MARKET")
    assert deal.startswith("Deal: ") and " ES.CME LONG 2 @ 6850.25 " in deal
    (placed,) = say(s, "/sell EPZ5 1 @6851.25")  # only makes the long smaller: closes
    assert placed.endswith(" ES.CME SHORT 1 LIMIT price=6851.25")
    (placed,) = say(s, "/sell epz5 2 stop 6849")  # with the working sell: through zero
    assert placed.endswith(" ES.CME SHORT 2 STOP stop=6849.00")
    assert [(o.offset, o.quantity) for o in working(s)] == [(Offset.CLOSE, 1), (Offset.OPEN, 2)]


REFUSALS = [
    ("/buy NQ 1", "Order refused: 'NQ' is not traded in this session (it trades EPZ5)."),
    ("/buy ES 0", "Order refused: quantity must be a positive whole number, not '0'."),
    ("/sell ES 1 @abc",
     "Order refused: a limit order needs price as a positive number, not 'abc'."),
    ("/buy ES 1 stop -5",
     "Order refused: a stop order needs stop_price as a positive number, not '-5'."),
    ("/buy ES 6", "Order refused: quantity 6 is above the limit of 5 contracts per order."),
    ("/buy ES 1 stop 6800", "Order refused: a buy stop must be above the last price: "
                            "stop_price 6800.00 is at or below the last price 6850.00 of ES.CME."),
    ("/sell ES 1 @6850.10", "Order refused: price 6850.10 is not a multiple of the tick size "
                            "0.25 of ES.CME."),
    ("/sell ES 1 @ 6850 now", "Usage: /sell SYMBOL QTY [@PRICE | stop PRICE]: at market "
                              "without a price, a limit with @PRICE, a stop with stop PRICE; "
                              "e.g. /sell EPZ5 1 stop 6840"),
    ("/buy ES", "Usage: /buy SYMBOL QTY [@PRICE | stop PRICE]: at market without a price, a "
                "limit with @PRICE, a stop with stop PRICE; e.g. /buy ES 2 @6850.25"),
]


def test_refusals_say_why_and_place_nothing(lane):
    for command, answer in REFUSALS:
        assert say(lane, command) == [answer], command
    assert lane.gateway.trades.orders() == [] and lane.outlet.questions == []


def test_the_position_limit_counts_the_working_orders(lane):
    s = lane
    say(s, "/buy ES 3 @6840")
    say(s, "/buy ES 3 @6841")
    (refused,) = say(s, "/buy ES 1 @6842")
    assert refused == ("Order refused: it could take the position in ES.CME to 7 long (now +0, "
                       "working 6 on that side; at most 6).")


def test_halted_only_orders_that_reduce_pass_and_a_gateway_down_sends_nothing(lane):
    s = lane
    say(s, "/buy ES 2")
    s.engine.risk.halt()
    (refused,) = say(s, "/buy ES 1")
    assert refused.startswith("Order refused: trading is halted by the operator")
    (placed, deal) = say(s, "/sell ES 1")
    assert placed.endswith("ES.CME SHORT 1 MARKET") and deal.startswith("Deal: ")
    s.sim.drop("gw")
    s.sim.sync()
    since = s.gateway.down_since()
    assert say(s, "/sell ES 1") == [
        "Gateway connection LOST.", f"Gateway connection down since {since:%H:%M}; order not sent."]
    assert len(s.gateway.trades.orders()) == 2


def test_cancel_takes_the_start_of_the_id_and_refuses_what_it_cannot_cancel(lane):
    s = lane
    (placed,) = say(s, "/buy ES 1 @6840")
    order_id = placed.split()[2]
    requested, cancelled = say(s, f"/cancel {order_id[1:9].lower()}")
    assert requested.startswith(f"Cancel requested for order {order_id} ES.CME LONG 1 LIMIT")
    assert cancelled.startswith(f"Order cancelled: {order_id} ")
    assert say(s, f"/cancel {order_id}") == [
        f"Cancel refused: order {order_id} is CANCELLED, not active."]
    assert say(s, "/cancel {0000}") == ["Cancel refused: CQG has no order with id '{0000}'."]
    usage = "Usage: /cancel ID: the order's id, or its first characters, e.g. /cancel F3CCA1DE"
    assert say(s, "/cancel") == [usage]
    assert say(s, f"/cancel {order_id} CQG") == [usage]  # the gateway is the session's


def test_an_order_above_confirm_above_is_placed_only_once_confirmed(lane):
    s = lane
    (asked,) = say(s, "/buy ES 4 @6840")
    assert asked == ("Place ES.CME LONG 4 LIMIT price=6840.00?\nOrders of more than 3 "
                     "contracts (confirm_above) are placed only once confirmed.")
    assert s.gateway.trades.orders() == []
    (placed,) = press(s)
    assert placed.endswith(" ES.CME LONG 4 LIMIT price=6840.00") and len(working(s)) == 1
    assert s.outlet.answers == [("q", "Confirmed.")]
    say(s, "/sell ES 5")
    assert press(s, CANCEL) == [] and len(s.gateway.trades.orders()) == 1  # cancelled: none
    say(s, "/sell ES 4")
    s.now[0] += 61  # too late: nothing placed
    assert press(s) == [] and len(s.gateway.trades.orders()) == 1
    assert s.outlet.answers[-1] == (
        "q", "This question lapsed: more than 60 s passed; send the order again.")


def test_a_confirmed_order_is_checked_again_as_of_then(lane):
    s = lane
    say(s, "/buy ES 4 @6840")
    s.engine.risk.halt()  # between the question and its confirmation
    (refused,) = press(s)
    assert refused.startswith("Order refused: trading is halted by the operator")
    assert s.gateway.trades.orders() == []
