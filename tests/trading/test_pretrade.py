"""Pre-trade checks: every refusal comes before the adapter, says why, and places nothing;
prices are checked and kept as the decimals typed."""
from decimal import Decimal

import pytest

from zandor_trader.core.constants import Direction, OrderStatus
from zandor_trader.trading import Limits

from . import fakes
from .test_engine import ask, desk, fakes_order  # noqa: F401  (the fixture)


def placed(desk):
    return [c[1] for c in desk.adapter.calls if c[0] == "place_order"]


def send(desk, order_string):
    (reply,) = ask(desk, send_order=True, order_string=order_string)
    return reply


@pytest.mark.parametrize("order_string, reason", [
    ("EPZ5,11,l,o,m,CQG,None,None", "quantity 11 is above the limit of 10 contracts per order"),
    ("EPZ5,99999999999999999999,l,o,m,CQG,None,None",
     "quantity 99999999999999999999 is above the limit of 10"),
    ("EPZ5,1,l,o,l,CQG,1e308,None", "price 1E+308 is more than 10,000% from the last price"),
    ("EPZ5,1,l,o,l,CQG,7200,None", "price 7200 is 5.1% from the last price 6850.25 of EPZ5.CME "
                                   "(at most 5%)"),
    ("EPZ5,1,s,o,s,CQG,None,6500", "stop_price 6500 is 5.1% from the last price"),
    ("EPZ5,1,l,o,l,CQG,6850.3,None", "price 6850.3 is not a multiple of the tick size 0.25 of "
                                     "EPZ5.CME"),
    ("CLEF6,1,l,o,l,CQG,58.575,None", "not a multiple of the tick size 0.01"),
    ("EPZ5,1,l,o,s,CQG,None,6850.1", "stop_price 6850.1 is not a multiple"),
])
def test_an_order_breaking_a_limit_is_refused_before_the_adapter(desk, order_string, reason):
    reply = send(desk, order_string)
    assert reply.startswith("Order refused: ") and reason in reply, reply
    assert placed(desk) == []


def test_prices_are_checked_and_kept_as_the_decimals_typed(desk):
    # 58.57 is no multiple of 0.01 in binary floating point; typed, it is.
    assert send(desk, "CLEF6,1,l,o,l,CQG,58.57,None").startswith("Order placed: {ORDER-1} ")
    (order,) = placed(desk)
    assert order.price == 58.57 and isinstance(order.price, float)  # what the component takes
    kept = desk.gateway.trades.get("{ORDER-1}")
    assert kept.price == Decimal("58.57") and isinstance(kept.price, Decimal)
    assert "price=6850.25" in send(desk, "EPZ5,1,l,o,l,CQG,6850.25,None")


def test_without_a_last_price_or_tick_size_a_priced_order_is_refused(desk):
    desk.gateway.cqg_quotes[fakes.ES] = None
    assert "no last price of EPZ5.CME yet" in send(desk, "EPZ5,1,l,o,l,CQG,6850,None")
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None").startswith("Order placed")  # no price
    desk.gateway._ticks.pop("CLEF6")
    assert "the tick size of CLEF6.NYMEX is not known" in send(desk, "CLEF6,1,l,o,l,CQG,58.5,None")


def test_the_position_limit_counts_the_position_and_the_working_orders_on_that_side(desk):
    desk.engine.limits = Limits(max_position=5)
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    working = desk.gateway.send_order(fakes_order(quantity=2))
    desk.adapter.report(working, OrderStatus.SUBMITTED)
    reply = send(desk, "EPZ5,2,l,o,m,CQG,None,None")
    assert reply == ("Order refused: it could take the position in EPZ5.CME to 6 long (now +2, "
                     "working 2 on that side; at most 5).")
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None").startswith("Order placed")
    # Selling reduces the position: allowed; a short beyond the limit is not, counting the
    # sell still working.
    assert send(desk, "EPZ5,7,s,o,m,CQG,None,None").startswith("Order placed")
    assert "to 6 short (now +2, working 7 on that side" in send(desk, "EPZ5,1,s,o,m,CQG,None,None")
    # A position already past the limit may still be reduced, not grown.
    desk.adapter.open_positions = [fakes.long_position(quantity=9)]
    desk.adapter.report(working, OrderStatus.CANCELLED)
    assert ask(desk) == [f"Order cancelled: {working} EPZ5.CME LONG 2 MARKET OPEN: CANCELLED"]
    assert send(desk, "EPZ5,1,s,o,m,CQG,None,None").startswith("Order placed")
    assert "refused" in send(desk, "EPZ5,1,l,o,m,CQG,None,None")


def test_the_position_limit_of_an_instrument_overrides_the_default(desk):
    desk.engine.max_positions = {fakes.CL: 1}
    assert "at most 1" in send(desk, "CLEF6,2,s,o,m,CQG,None,None")
    assert send(desk, "EPZ5,2,s,o,m,CQG,None,None").startswith("Order placed")
