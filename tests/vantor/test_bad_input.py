"""Every operation of the adapter called with bad input: wrong types, missing, extra and unknown
arguments, None, and odd but well-typed values. Each gets its error, and nothing reaches the
component, the gateway or the adapter's state; rejected arguments are not kept alive."""
import contextlib
import decimal
import fractions
import functools
import io
import sys

import pytest

import cqgsim
from zandor_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import vantor

from tests.arguments import count_message as counted

from . import fakes
from .conftest import ES, Session

TEXT, INT, ANY = "str", "int", None

# Operation -> its parameters (name, declared type, required). Handlers are called by the
# component, always by position, but they bind arguments like every other method.
OPERATIONS = {
    "Init": [("gateway", ANY, True)],
    "Logon": [("user_name", TEXT, True), ("password", TEXT, True)],
    "Logoff": [],
    "get_instrument_from_cqg_symbol": [("cqg_symbol", TEXT, True)],
    "get_timedbars_from_cqg_symbol": [("cqg_symbol", TEXT, True)],
    "get_ticks_from_cqg_symbol": [("cqg_symbol", TEXT, True)],
    "get_account_from_gwaccountid": [("GWAccountID", INT, True)],
    "subscribe_quote": [("cqg_symbol", TEXT, True)],
    "unsubscribe_quote": [("cqg_symbol", TEXT, True)],
    "subscribe_orderbook": [("cqg_symbol", TEXT, True)],
    "unsubscribe_orderbook": [("cqg_symbol", TEXT, True)],
    "subscribe_bar": [("cqg_symbol", TEXT, True), ("lookback_period", INT, True),
                      ("freq", TEXT, False)],
    "unsubscribe_bar": [("cqg_symbol", TEXT, True)],
    "get_subscribe_bars_data": [("security", ANY, True)],
    "subscribe_account_and_positions": [("GWAccountID", INT, True)],
    "unsubscribe_account_and_positions": [("GWAccountID", INT, True)],
    "update_account_balance": [],
    "update_positions": [],
    "place_order": [("order", ANY, True)],
    "cancel_order": [("orderid", TEXT, True)],
    "dumpBar": [("bar", ANY, True), ("index", ANY, True)],
    "OnDataError": [("cqgError", ANY, True), ("errorDescription", ANY, True)],
    "OnGWConnectionStatusChanged": [("connectionStatus", ANY, True)],
    "OnDataConnectionStatusChanged": [("newStatus", ANY, True)],
    "OnInstrumentResolved": [("symbol", ANY, True), ("cqgInstrument", ANY, True),
                             ("cqgError", ANY, True)],
    "OnInstrumentChanged": [("cqgInstrument", ANY, True), ("cqgQuotes", ANY, True),
                            ("cqgInstrumentProperties", ANY, True)],
    "OnTicksResolved": [("cqgTicks", ANY, True), ("cqgError", ANY, True)],
    "OnTicksAdded": [("cqgTicks", ANY, True), ("addedTicksCount", ANY, True)],
    "OnTicksRemoved": [("cqgTicks", ANY, True), ("removedTickIndex", ANY, True)],
    "OnTimedBarsResolved": [("cqgTimedBars", ANY, True), ("cqgError", ANY, True)],
    "OnTimedBarsAdded": [("cqgTimedBars", ANY, True)],
    "OnTimedBarsUpdated": [("cqgTimedBars", ANY, True), ("index", ANY, True)],
    "OnTimedBarsRemoved": [("cqgTimedBars", ANY, True), ("index", ANY, True)],
    "OnAccountChanged": [("change", ANY, True), ("cqgAccount", ANY, True),
                         ("cqgPosition", ANY, True)],
    "OnOrderChanged": [("changeType", ANY, True), ("cqgOrder", ANY, True),
                       ("oldProperties", ANY, True), ("cqgFill", ANY, True),
                       ("cqgError", ANY, True)],
}
# Where an operation is given a well-typed value it must not act on: a stand-in that the
# argument checks let through unchanged.
VALID = {TEXT: "EPZ5", INT: 7, ANY: None}
EVENTS = ["eventGatewayIsUp", "eventGatewayIsDown", "eventAccountIsReady", "eventOrderPlaced",
          "eventQuoteDone", "eventOrderbookDone", "eventBarDone"]


class Text(str):
    pass


WRONG = {
    # An int outside the interpreter's small-int cache: other threads' work never moves its
    # reference count, so the count says only what the refused call kept.
    TEXT: [None, 10**12 + 5, 2.5, b"EPZ5", Text("EPZ5"), ["EPZ5"], object()],
    INT: [None, "7", b"7", [7], 1j, object()],
}


def state(unit):
    """What a refused call must leave as it was."""
    a = unit.adapter
    return ([getattr(a, e).is_set() for e in EVENTS], dict(a.subscribe_bars_data),
            a.account_balance, a.positions, a.order_id, getattr(a, "GWAccountID", "unset"),
            list(unit.cel.calls), dict(unit.gateway.cqg_quotes), dict(unit.gateway.cqg_orderbooks),
            len(unit.gateway.quotes), len(unit.gateway.order_updates), len(unit.gateway.deals))


def method(unit, name):
    if name == "unsubscribe_bar":  # the host's safe_call reports what it raises; see below
        return functools.partial(vantor.Vantor.unsubscribe_bar.__wrapped__, unit.adapter)
    return getattr(unit.adapter, name)


def count_message(name, params, given):
    return counted(name, len(params), sum(1 for p in params if p[2]), given)


def wrong_type_cases():
    for name, params in OPERATIONS.items():
        for i, (param, kind, _) in enumerate(params):
            for value in WRONG.get(kind, []):
                yield pytest.param(name, i, value, id=f"{name}-{param}-{type(value).__name__}")


@pytest.mark.parametrize("name, index, value", list(wrong_type_cases()))
def test_a_wrong_type_is_refused_before_anything_happens(unit, out, name, index, value):
    params = OPERATIONS[name]
    call = method(unit, name)
    args = [VALID[kind] for _, kind, _ in params]
    args[index] = value
    param, kind, _ = params[index]
    before, refs = state(unit), sys.getrefcount(value)
    for by_name in (False, True):
        with pytest.raises(TypeError) as err:
            if by_name:
                call(**{p[0]: v for p, v in zip(params, args)})
            else:
                call(*args)
        assert str(err.value) == (f"Argument '{param}' has incorrect type "
                                  f"(expected {kind}, got {type(value).__name__})")
    del err
    for _ in range(20):
        try:
            call(*args)
        except TypeError:
            pass
    if value is not None:  # None's count moves with everything else the interpreter does
        assert sys.getrefcount(value) == refs
    assert state(unit) == before and out.read() == ""


def count_cases():
    for name, params in OPERATIONS.items():
        required = [p for p in params if p[2]]
        if required:
            yield pytest.param(name, len(required) - 1, {},
                               count_message(name, params, len(required) - 1), id=f"{name}-missing")
        if len(params) > 1:  # the last one by name, the first one missing
            yield pytest.param(name, 0, {params[-1][0]: VALID[params[-1][1]]},
                               count_message(name, params, 0), id=f"{name}-first-missing")
        yield pytest.param(name, len(params) + 1, {},
                           count_message(name, params, len(params) + 1), id=f"{name}-extra")
        yield pytest.param(name, len(required), {"bogus": 1},
                           f"{name}() got an unexpected keyword argument 'bogus'",
                           id=f"{name}-unknown-keyword")
        if params:
            yield pytest.param(name, 1, {params[0][0]: 1},
                               f"{name}() got multiple values for keyword argument '{params[0][0]}'",
                               id=f"{name}-given-twice")


@pytest.mark.parametrize("name, given, keywords, message", list(count_cases()))
def test_argument_counts_and_keywords_are_checked_first(unit, out, name, given, keywords, message):
    params = OPERATIONS[name]
    call = method(unit, name)
    args = [VALID[p[1]] for p in params][:given] + [None] * max(0, given - len(params))
    before = state(unit)
    with pytest.raises(TypeError) as err:
        call(*args, **keywords)
    assert str(err.value) == message
    assert state(unit) == before and out.read() == ""


ODD_TEXTS = ["", "ÉPZ5 ☃ \u200f", "EP\x00Z5", "x" * 100_000, "EPZ5\n[Found] injected"]


@pytest.mark.parametrize("symbol", ODD_TEXTS, ids=["empty", "non-ascii", "nul", "long", "newline"])
@pytest.mark.parametrize("name", ["subscribe_quote", "subscribe_orderbook", "subscribe_bar"])
def test_odd_symbols_reach_the_component_whole_and_the_caller_returns(unit, out, short_timeout,
                                                                      name, symbol):
    args = (symbol, 3) if name == "subscribe_bar" else (symbol,)
    assert getattr(unit.adapter, name)(*args) is None
    (call,) = unit.cel.calls
    sent = call[1] if name == "subscribe_quote" else call[1].Symbol
    assert sent == symbol
    assert f"in {name}({symbol})..." in out.read()


@pytest.mark.parametrize("lookback, range_end", [
    (0, -1), (-1, 0), (-5, 4), (2.9, -3), (True, -2), (10**30, -(10**30) - 1),
    (decimal.Decimal("4.5"), -5), (fractions.Fraction(7, 2), -4),
])
def test_any_number_is_a_look_back_and_huge_or_negative_ones_pass_unchanged(unit, out,
                                                                           short_timeout,
                                                                           lookback, range_end):
    unit.adapter.subscribe_bar("EPZ5", lookback)
    (call,) = unit.cel.calls
    assert call[1].RangeEnd == range_end and type(call[1].RangeEnd) is int


@pytest.mark.parametrize("lookback, error", [
    (float("inf"), OverflowError), (float("nan"), ValueError), (decimal.Decimal("nan"), ValueError),
])
def test_a_number_without_an_integer_value_sends_nothing(unit, out, lookback, error):
    before = state(unit)
    with pytest.raises(error):
        unit.adapter.subscribe_bar("EPZ5", lookback)
    assert state(unit) == before and out.read() == ""


@pytest.mark.parametrize("freq", ["1min", "1DAY", "", " 1Min", "1Min\x00", "1Мin", "1Min" * 1000])
def test_an_unsupported_frequency_is_refused_before_anything_is_sent(unit, out, freq):
    before = state(unit)
    with pytest.raises(ValueError) as err:
        unit.adapter.subscribe_bar("EPZ5", 10, freq)
    assert err.value.args == (
        f"Parameter freq={freq} is Not supported. Only ('1Day', '1Min') are allowed.",)
    assert state(unit) == before and out.read() == ""


@pytest.mark.parametrize("account_id", [10**30, -(10**30), -1, 0, 2**63, float("1e300")])
def test_account_ids_of_any_size_are_compared_not_overflowed(unit, out, account_id):
    unit.cel.Accounts = [fakes.Account(1, "a"), fakes.Account(-1, "minus")]
    found = unit.adapter.get_account_from_gwaccountid(account_id)
    assert (found.GWAccountName if found is not None else None) == \
        ("minus" if account_id == -1 else None)


@pytest.mark.parametrize("function, value, error", [
    ("QuoteType2String", None, KeyError), ("QuoteType2String", "qtBid", KeyError),
    ("QuoteType2String", 10**30, KeyError), ("QuoteType2String", ("qtBid",), KeyError),
    ("QuoteType2String", [1], TypeError),
    ("TickType2String", None, KeyError), ("TickType2String", -1, KeyError),
    ("TickType2String", "Ask price", KeyError), ("TickType2String", {}, TypeError),
])
def test_type_names_outside_the_table_are_lookup_failures(function, value, error):
    with pytest.raises(error) as err:
        getattr(vantor, function)(value)
    if error is KeyError:
        assert err.value.args == (value,)


@pytest.mark.parametrize("value", [None, "osFilled", -1, 10**30, 2.5, ("osFilled",)])
def test_an_order_status_outside_the_table_is_a_value_error(value):
    with pytest.raises(ValueError) as err:
        vantor.convert_orderstatus_cqg2qt(value)
    assert err.value.args == (f"Order status {value} is not valid to be handled by zandor_trader.",)



def test_unsubscribe_bar_refuses_through_the_hosts_safe_call(unit, out, capsys):
    assert unit.adapter.unsubscribe_bar(None) is None
    err = capsys.readouterr().err
    assert "safe_call: " in err and err.rstrip().endswith(
        "TypeError: Argument 'cqg_symbol' has incorrect type (expected str, got NoneType)")
    assert unit.cel.calls == []


def order(**fields):
    values = dict(security=ES, price=6800.0, quantity=1, direction=Direction.LONG,
                  order_type=OrderType.LIMIT)
    values.update(fields)
    return Order(**values)


@pytest.mark.parametrize("bad, error, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'security'"),
    (order(security=Security("ZZ", Exchange.CME)), KeyError, None),  # the gateway's mapping
    (order(order_type=None), ValueError, "Unsupported order type None"),
    (order(order_type=OrderType.FOK), ValueError, "Unsupported order type OrderType.FOK"),
    (order(order_type="l"), ValueError, "Unsupported order type l"),
    (order(direction=Direction.NET), ValueError, "Unsupported order side Direction.NET"),
    (order(direction="l"), ValueError, "Unsupported order side l"),
], ids=["None", "unknown-security", "no-type", "FOK", "type-text", "NET", "side-text"])
def test_an_order_the_adapter_cannot_map_creates_nothing(unit, out, bad, error, message):
    unit.cel.Instruments = [fakes.Instrument("F.US.EPZ5")]
    unit.cel.Accounts = [fakes.Account(100101, "ZT-1")]
    unit.adapter.GWAccountID = 100101
    before = state(unit)
    with pytest.raises(error) as err:
        unit.adapter.place_order(bad)  # the scripted component has no CreateOrder to reach
    assert message is None or str(err.value) == message
    assert state(unit) == before


@pytest.fixture(scope="module")
def trading():
    """One simulated session for the whole table: logged on, the account and a quote
    subscribed, a market to trade against."""
    cqgsim.reset()
    gateway = CqgGateway({"EPZ5": ES})
    with contextlib.redirect_stdout(io.StringIO()):
        s = Session(gateway)
        s.adapter.Logon("trader", "secret")
        s.adapter.subscribe_quote("EPZ5")
        s.adapter.subscribe_account_and_positions(100101)
    s.sim.push_quotes("EPZ5", qtBid=6850.0, qtAsk=6850.25)
    s.sim.sync()
    yield s
    with contextlib.redirect_stdout(io.StringIO()):
        s.close()
    cqgsim.reset()


@pytest.mark.parametrize("fields", [
    {"quantity": 0}, {"quantity": -1}, {"quantity": 1.5}, {"quantity": "1"}, {"quantity": None},
    {"quantity": True}, {"price": None}, {"price": "6800"},
], ids=["zero", "negative", "fraction", "text", "None", "bool", "no-price", "price-text"])
def test_an_order_the_component_refuses_is_reported_failed_with_its_own_guid(trading, capsys,
                                                                           fields):
    gw = trading.gateway
    guid = trading.adapter.place_order(order(**fields))
    trading.sim.sync()
    updates = [u for u in gw.order_updates if u["order_id"] == guid]
    assert isinstance(guid, str) and updates and updates[-1]["status"] == OrderStatus.FAILED
    assert not [d for d in gw.deals if d["order_id"] == guid]
    assert trading.adapter.order_id is None
    capsys.readouterr()


@pytest.mark.parametrize("timeout, error", [(float("nan"), ValueError), ("10", TypeError)])
def test_a_timeout_that_is_no_number_of_seconds_is_refused(unit, out, monkeypatch, timeout,
                                                           error):
    # NaN passed the "negative means none" check and reached the clock arithmetic.
    monkeypatch.setattr(vantor, "TIMEOUT", timeout)
    with pytest.raises(error):
        unit.adapter.Logon("trader", "secret")
