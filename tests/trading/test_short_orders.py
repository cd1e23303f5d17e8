"""/buy and /sell as typed: each form of the words after the quantity, in any letter case, and
the words that are none of them answered with the usage."""
from decimal import Decimal

import pytest

from zandor_trader.core.constants import Direction, Exchange, OrderType
from zandor_trader.core.security import Security
from zandor_trader.trading.short_orders import ShortOrderError, parse_short_order, usage

ES = Security("ES", Exchange.CME)


def parse(side, text):
    return parse_short_order(side, text.split(), lambda code: ES if code.upper() in (
        "ES", "EPZ5") else None, "CQG", ["EPZ5"])


@pytest.mark.parametrize("side, text, kind, price, stop", [
    ("buy", "ES 2", OrderType.MARKET, None, None),
    ("buy", "es 2 @6850.25", OrderType.LIMIT, Decimal("6850.25"), None),
    ("sell", "EPZ5 2 @ 6850.25", OrderType.LIMIT, Decimal("6850.25"), None),
    ("sell", "ES 1 stop 6840", OrderType.STOP, None, Decimal("6840")),
    ("buy", "ES 1 STOP 6860", OrderType.STOP, None, Decimal("6860")),
])
def test_each_form_becomes_its_order(side, text, kind, price, stop):
    order = parse(side, text)
    assert (order.security, order.direction, order.quantity) == (
        ES, Direction.LONG if side == "buy" else Direction.SHORT, int(text.split()[1]))
    assert (order.order_type, order.price, order.stop_price, order.gateway_name) == (
        kind, price, stop, "CQG")


@pytest.mark.parametrize("text", [
    "ES", "ES 1 @", "ES 1 @6850 now", "ES 1 @ 6850 now", "ES 1 stop", "ES 1 stop 6840 6850",
    "ES 1 limit 6840", "ES 1 6840"])
def test_words_of_no_form_are_answered_with_the_usage(text):
    with pytest.raises(ShortOrderError) as refused:
        parse("buy", text)
    assert str(refused.value) == usage("buy")
