"""The operator's eight-field order string: what it becomes, and what it is refused for."""
import pytest

from zandor_trader.core.constants import Direction, Offset, OrderType
from zandor_trader.trading.order_string import OrderStringError, parse_order_string

from .fakes import CL, ES

SECURITIES = {"EPZ5": ES, "CLEF6": CL}


def find(code):
    return SECURITIES.get(code.upper())


def parse(text):
    return parse_order_string(text, find, ["CQG"])


@pytest.mark.parametrize("text, expected", [
    ("EPZ5,2,l,o,m,CQG,None,None", (ES, 2, Direction.LONG, Offset.OPEN, OrderType.MARKET, None, None)),
    ("clef6,1,s,c,l,CQG,58.25,None", (CL, 1, Direction.SHORT, Offset.CLOSE, OrderType.LIMIT, 58.25, None)),
    ("EPZ5,3,S,O,S,CQG,None,6800.5", (ES, 3, Direction.SHORT, Offset.OPEN, OrderType.STOP, None, 6800.5)),
    (" EPZ5 , 1 , l , o , l , CQG , 6850 , NONE ", (ES, 1, Direction.LONG, Offset.OPEN, OrderType.LIMIT, 6850.0, None)),
])
def test_each_order_type_takes_only_the_prices_it_needs(text, expected):
    order = parse(text)
    assert (order.security, order.quantity, order.direction, order.offset, order.order_type,
            order.price, order.stop_price) == expected
    assert order.gateway_name == "CQG"


@pytest.mark.parametrize("text, complaint", [
    ("EPZ5,1,l,o,m,CQG,None", "has 7"),
    ("EPZ5,1,l,o,m,CQG,None,None,x", "has 9"),
    ("XYZ9,1,l,o,m,CQG,None,None", "security_code 'XYZ9' is not traded"),
    (",1,l,o,m,CQG,None,None", "security_code '' is not traded"),
    ("EPZ5,0,l,o,m,CQG,None,None", "quantity must be a positive whole number, not '0'"),
    ("EPZ5,-1,l,o,m,CQG,None,None", "not '-1'"),
    ("EPZ5,1.5,l,o,m,CQG,None,None", "not '1.5'"),
    ("EPZ5,²,l,o,m,CQG,None,None", "not '²'"),
    ("EPZ5,1,b,o,m,CQG,None,None", "direction must be l or s, not 'b'"),
    ("EPZ5,1,l,x,m,CQG,None,None", "offset must be o or c, not 'x'"),
    ("EPZ5,1,l,o,k,CQG,None,None", "order_type must be m or l or s, not 'k'"),
    ("EPZ5,1,l,o,m,IB,None,None", "gateway_name 'IB' is unknown (gateways: CQG)"),
    ("EPZ5,1,l,o,m,CQG,6850,None", "a market order takes no price: give None, not '6850'"),
    ("EPZ5,1,l,o,m,CQG,None,6800", "a market order takes no stop_price"),
    ("EPZ5,1,l,o,l,CQG,None,None", "a limit order needs price as a positive number, not 'None'"),
    ("EPZ5,1,l,o,l,CQG,abc,None", "not 'abc'"),
    ("EPZ5,1,l,o,l,CQG,-5,None", "not '-5'"),
    ("EPZ5,1,l,o,l,CQG,nan,None", "not 'nan'"),
    ("EPZ5,1,l,o,l,CQG,inf,None", "not 'inf'"),
    ("EPZ5,1,l,o,l,CQG,6850,6800", "a limit order takes no stop_price"),
    ("EPZ5,1,l,o,s,CQG,None,None", "a stop order needs stop_price as a positive number"),
    ("EPZ5,1,l,o,s,CQG,6850,6800", "a stop order takes no price"),
    ("EPZ5,1,l,o,l,CQG,none,None", "a limit order needs price as a positive number, not 'none'"),
])
def test_a_malformed_string_is_refused_naming_what_is_wrong(text, complaint):
    with pytest.raises(OrderStringError) as refused:
        parse(text)
    assert complaint in str(refused.value)


def test_the_first_wrong_field_is_the_one_named():
    with pytest.raises(OrderStringError, match="quantity"):
        parse("EPZ5,0,b,x,k,IB,1,1")
