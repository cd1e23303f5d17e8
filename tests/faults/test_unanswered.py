"""The component never answering a request: each request returns or raises within its bound,
and once the component answers again the same request works."""
import time

import pytest

from zandor_trader.core.constants import Direction, OrderType
from zandor_trader.core.order import Order

from .conftest import ES, SHORT, unanswered

pytestmark = pytest.mark.timeout(60)


def subscribed_account(s):
    s.adapter.subscribe_account_and_positions(100101)


def market_order(s):
    s.adapter.subscribe_quote("EPZ5")
    subscribed_account(s)
    s.sim.push_quotes("EPZ5", qtBid=6850.0, qtAsk=6850.25)
    s.sim.sync()
    return Order(security=ES, price=0, quantity=1, direction=Direction.LONG,
                 order_type=OrderType.MARKET)


def quote_flows(s):
    s.sim.push_quotes("EPZ5", qtTrade=6855.5)
    s.sim.sync()
    quote = s.gateway.cqg_quotes[ES]
    return quote is not None and quote.last_price == 6855.5


def book_flows(s):
    s.sim.push_ticks("EPZ5", [("bid", 6850.0, 3), ("ask", 6850.25, 4)])
    s.sim.sync()
    book = s.gateway.cqg_orderbooks[ES]
    return book is not None and (book.bid_price_1, book.ask_price_1) == (6850.0, 6850.25)


def bars_flow(s):
    return s.adapter.get_subscribe_bars_data(ES) is not None


# request -> (set-up before it, the call, the error it raises or None, proof it works later)
CASES = {
    "GWLogon": (None, lambda s, _: s.adapter.Logon("trader", "secret"),
                (RuntimeError, "GW connection timeout!"),
                lambda s: s.adapter.eventGatewayIsUp.is_set()),
    "GWLogoff": ("online", lambda s, _: s.adapter.Logoff(),
                 (RuntimeError, "GW disconnection timeout!"),
                 lambda s: s.adapter.eventGatewayIsDown.is_set()),
    "NewInstrument": ("online", lambda s, _: s.adapter.subscribe_quote("EPZ5"), None, quote_flows),
    "RequestTicks": ("online", lambda s, _: s.adapter.subscribe_orderbook("EPZ5"), None,
                     book_flows),
    "RequestTimedBars": ("online", lambda s, _: s.adapter.subscribe_bar("EPZ5", 5), None,
                         bars_flow),
    "AccountSubscriptionLevel": ("online", lambda s, _: subscribed_account(s),
                                 (RuntimeError, "Accounts coming timeout!"),
                                 lambda s: s.adapter.eventAccountIsReady.is_set()),
    "Place": ("order", lambda s, order: s.adapter.place_order(order),
              (RuntimeError, "Order placing timeout!\n"), None),
}


@pytest.mark.parametrize("request_name", list(CASES))
def test_a_request_never_answered_ends_within_its_bound_and_works_once_answered(
        sessions, capsys, request_name):
    setup, call, error, works = CASES[request_name]
    s = sessions()
    order = None
    if setup in ("online", "order"):
        s.adapter.Logon("trader", "secret")
    if setup == "order":
        order = market_order(s)
    s.sim.respond(request_name, "drop")
    start = time.monotonic()
    with unanswered():
        if error:
            with pytest.raises(error[0]) as err:
                call(s, order)
            assert str(err.value.args[0]).startswith(error[1])
        else:
            assert call(s, order) is None
    # Bounded by the adapter's TIMEOUT (plus the account subscription's fixed 2 s pause).
    pause = 2 if request_name == "AccountSubscriptionLevel" else 0
    assert time.monotonic() - start < SHORT + pause + 5
    assert works is None or not works(s)

    s.sim.respond(request_name)
    result = call(s, order)
    if request_name == "Place":
        assert isinstance(result, str) and s.adapter.order_id is None
    else:
        assert works(s)
    capsys.readouterr()


def test_a_held_answer_that_comes_late_releases_nobody_waiting_for_something_else(
        online, out):
    a, sim = online.adapter, online.sim
    sim.respond("NewInstrument", "hold")
    sim.respond("RequestTicks", "drop")
    with unanswered():
        a.subscribe_quote("EPZ5")
        assert not a.eventQuoteDone.is_set()
        a.subscribe_orderbook("ENQZ5")
    sim.release("NewInstrument")
    sim.sync()
    # The late resolution set the quote event only; the order book request is still open.
    assert a.eventQuoteDone.is_set() and not a.eventOrderbookDone.is_set()
    assert quote_flows(online)
