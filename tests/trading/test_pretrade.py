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


def test_a_close_order_that_would_open_increase_or_go_through_zero_is_refused(desk):
    assert send(desk, "EPZ5,1,s,c,m,CQG,None,None") == (
        "Order refused: a close order must reduce a position: EPZ5.CME is flat, selling 1 "
        "would open a position.")
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    assert send(desk, "EPZ5,1,l,c,m,CQG,None,None") == (
        "Order refused: a close order must reduce a position: EPZ5.CME is long 2, buying 1 "
        "would increase it.")
    assert send(desk, "EPZ5,3,s,c,m,CQG,None,None") == (
        "Order refused: selling 3 would take EPZ5.CME from long 2 through zero: 2 would close "
        "it.")
    assert placed(desk) == []
    assert send(desk, "EPZ5,1,s,c,l,CQG,6851,None").startswith("Order placed")
    # The sell still working counts: together they could go through zero.
    assert send(desk, "EPZ5,2,s,c,m,CQG,None,None") == (
        "Order refused: selling 2 would take EPZ5.CME from long 2 through zero with 1 working "
        "on that side: 1 would close it.")
    assert send(desk, "EPZ5,1,s,c,m,CQG,None,None").startswith("Order placed")
    assert "the working orders on that side close it already" in send(
        desk, "EPZ5,1,s,c,m,CQG,None,None")
    desk.adapter.open_positions[0].direction = Direction.SHORT
    assert send(desk, "EPZ5,2,l,c,m,CQG,None,None").startswith("Order placed")  # short 2


@pytest.mark.parametrize("order_string, reason", [
    ("CLEF6,1,l,o,s,CQG,None,58.00", "a buy stop must be above the last price: stop_price "
                                     "58.00 is at or below the last price 58.50 of CLEF6.NYMEX"),
    ("CLEF6,1,l,o,s,CQG,None,58.5", "stop_price 58.50 is at or below the last price 58.50"),
    ("CLEF6,1,s,o,s,CQG,None,58.51", "a sell stop must be below the last price: stop_price "
                                     "58.51 is at or above the last price 58.50 of CLEF6.NYMEX"),
])
def test_a_stop_on_the_wrong_side_of_the_market_is_refused_with_both_prices(
        desk, order_string, reason):
    from zandor_trader.trading import prices
    prices.register_ticks({"CLEF6": 0.01})
    try:
        reply = send(desk, order_string)
    finally:
        prices.clear_ticks()
    assert reply.startswith("Order refused: ") and reason in reply, reply
    assert placed(desk) == []


def test_stops_on_the_right_side_pass(desk):
    assert send(desk, "CLEF6,1,l,o,s,CQG,None,58.51").startswith("Order placed")
    assert send(desk, "CLEF6,1,s,o,s,CQG,None,58.49").startswith("Order placed")


def test_while_the_gateway_or_the_account_is_not_connected_no_order_is_sent(desk):
    desk.gateway.link_changed("gateway", True)
    desk.gateway.link_changed("gateway", False)
    since = desk.gateway.down_since()
    assert since is not None
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None") == (
        f"Gateway connection down since {since:%H:%M}; order not sent.")
    desk.gateway.link_changed("gateway", False)  # down again: still since the first drop
    assert desk.gateway.down_since() == since
    desk.gateway.link_changed("gateway", True)
    assert desk.gateway.down_since() is None
    desk.gateway.account_id = None
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None") == "Account not connected; order not sent."
    assert placed(desk) == []
