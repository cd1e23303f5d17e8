"""The day's risk: the daily loss limit (said once, orders that open risk refused, those that
reduce it placed, lifted by the next trading day, a flatten when asked for), the operator's
/halt and /resume, and /risk."""
import datetime as dt
import threading
from decimal import Decimal

import pytest

from zandor_trader.core.balance import AccountBalance
from zandor_trader.trading import Limits, Request
from zandor_trader.trading.trading_day import trading_day

from ..waiting import eventually
from . import fakes
from .test_engine import answers, ask, desk, fakes_order  # noqa: F401  (the fixture)

MONDAY = dt.datetime(2025, 12, 1, 22, 30)  # China time: 08:30 in Chicago


@pytest.mark.parametrize("china_time, day", [
    ((2025, 12, 1, 22, 30), (2025, 12, 1)),   # Monday morning in Chicago
    ((2025, 12, 2, 6, 59), (2025, 12, 1)),    # 16:59 Chicago: Monday's day still
    ((2025, 12, 2, 7, 0), (2025, 12, 2)),     # 17:00 Chicago: Tuesday's day opens
    ((2025, 12, 6, 7, 30), (2025, 12, 8)),    # Friday evening: Monday's
    ((2025, 12, 8, 6, 59), (2025, 12, 8)),    # Sunday afternoon: Monday's
    ((2025, 7, 2, 5, 59), (2025, 7, 1)),      # summer time: 16:59 Chicago
    ((2025, 7, 2, 6, 0), (2025, 7, 2)),       # 17:00
])
def test_the_trading_day_opens_at_17_chicago_time_and_skips_the_weekend(china_time, day):
    assert trading_day(dt.datetime(*china_time)) == dt.date(*day)
    aware = dt.datetime(*china_time, tzinfo=dt.timezone(dt.timedelta(hours=8)))
    assert trading_day(aware.astimezone(dt.timezone.utc)) == dt.date(*day)


@pytest.fixture
def limited(desk):
    """A loss limit of 1,000 on the market's Monday, the day's start taken."""
    desk.engine.limits = Limits(max_daily_loss=Decimal(1000))
    market = [MONDAY]
    desk.engine.risk.market_time = lambda: market[0]
    desk.engine.risk.now = lambda: dt.datetime(2026, 12, 9, 14, 5)
    desk.adapter.balance.realized_pnl = -5_000.0  # from earlier days
    desk.engine.check_risk()
    desk.market = market
    return desk


def command(desk, kind, **params):
    desk.engine.submit(Request(kind, params))
    desk.engine.serve_pending()
    return answers(desk)


def send(desk, order_string):
    return ask(desk, send_order=True, order_string=order_string)[-1]


def lose(desk, realized, open_pnl, deal="D1"):
    """A deal after which the account has these figures."""
    desk.adapter.balance.realized_pnl = -5_000.0 + realized
    desk.adapter.balance.unrealized_pnl = open_pnl
    order_id = desk.gateway.send_order(fakes_order())
    desk.adapter.fill(order_id, 1, 6850.0, deal)
    desk.engine.serve_pending()
    return [a for a in answers(desk) if not a.startswith("Deal:")]


REACHED = ("Daily loss limit reached: today's P&L -1,100.00 (realized -700.00, open -400.00) is "
           "below -1,000.00. Orders that open or increase risk are refused until the next "
           "trading day; orders that reduce risk still pass.")


def test_the_limit_is_said_once_then_only_orders_that_reduce_risk_pass_until_the_next_day(limited):
    desk = limited
    assert lose(desk, -600.0, -400.0) == []  # 1,000 lost: at the limit, not below it
    assert lose(desk, -700.0, -400.0, "D2") == [REACHED]
    assert lose(desk, -800.0, -400.0, "D3") == []  # said once
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    halted = ("Order refused: trading is halted for the day: the daily loss limit of 1,000.00 "
              "was reached at 14:05; only orders that reduce risk are taken.")
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None") == halted  # increases the long
    assert send(desk, "EPZ5,3,s,o,m,CQG,None,None") == halted  # through zero: a new short
    assert send(desk, "CLEF6,1,s,o,m,CQG,None,None") == halted  # opens one
    assert send(desk, "EPZ5,2,s,o,m,CQG,None,None").startswith("Order placed")  # flat
    assert command(desk, "resume") == [
        "Trading stays halted: the daily loss limit was reached at 14:05 (today's P&L "
        "-1,200.00 (realized -800.00, open -400.00)); it is lifted at the next trading day."]
    desk.market[0] = MONDAY + dt.timedelta(hours=9)  # 17:30 in Chicago: Tuesday's day
    desk.engine.check_risk()
    assert answers(desk) == ["New trading day 2025-12-02: the daily loss limit is reset; "
                             "orders that open risk are taken again."]
    assert send(desk, "CLEF6,1,s,o,m,CQG,None,None").startswith("Order placed")


def test_an_order_that_opens_risk_looks_at_the_figures_first(limited):
    desk = limited
    desk.adapter.balance.unrealized_pnl = -1_000.01  # no deal, no timer since
    assert ask(desk, send_order=True, order_string="EPZ5,1,l,o,m,CQG,None,None") == [
        "Daily loss limit reached: today's P&L -1,000.01 (realized 0.00, open -1,000.01) is "
        "below -1,000.00. Orders that open or increase risk are refused until the next trading "
        "day; orders that reduce risk still pass.",
        "Order refused: trading is halted for the day: the daily loss limit of 1,000.00 was "
        "reached at 14:05; only orders that reduce risk are taken."]


def test_the_running_engine_looks_at_the_days_loss_on_its_timer(limited):
    desk = limited
    runner = threading.Thread(target=desk.engine.run)
    runner.start()
    try:
        desk.adapter.balance.unrealized_pnl = -2_000.0  # the market moved: no deal, no order
        eventually(lambda: any(m.startswith("Daily loss limit reached") for m in desk.bot.sent))
    finally:
        desk.engine.request_stop("done")
        runner.join(10)
    assert not runner.is_alive()


def test_with_flatten_on_loss_the_account_is_flattened_when_the_limit_is_reached(limited):
    desk = limited
    desk.engine.limits = Limits(max_daily_loss=Decimal(1000), flatten_on_loss=True)
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    assert lose(desk, -700.0, -400.0) == [
        REACHED + " Flattening the account (flatten_on_loss = yes)."]
    closing = [c[1] for c in desk.adapter.calls if c[0] == "place_order"][1:]
    assert [(o.security, o.quantity) for o in closing] == [(fakes.ES, 2)]


def test_a_gateway_down_or_a_failed_refresh_leaves_the_figures_as_they_were(limited):
    desk = limited
    desk.adapter.balance.realized_pnl = 5_000.0  # won on earlier days
    desk.market[0] += dt.timedelta(days=1)
    desk.engine.check_risk()  # the new day starts from there
    desk.adapter.balance = AccountBalance()  # what the adapter gives when a refresh fails
    desk.engine.check_risk()  # taken as figures: 5,000 lost today
    assert desk.notices[-1] == "Reading the day's P&L failed: the account's figures are empty"
    assert answers(desk) == [] and not desk.engine.risk.halted
    desk.adapter.balance = AccountBalance(cash=1.0, realized_pnl=-5_000.0,
                                          unrealized_pnl=-2_000.0)
    desk.gateway.link_changed("gateway", True)
    desk.gateway.link_changed("gateway", False)
    desk.engine.check_risk()
    assert answers(desk) == [] and not desk.engine.risk.halted


def test_halt_and_resume_are_a_kill_switch_for_orders_that_open_risk(desk):
    desk.engine.risk.now = lambda: dt.datetime(2026, 12, 9, 14, 2)
    assert command(desk, "resume") == ["Trading is not halted."]
    assert command(desk, "halt") == [
        "Trading halted: orders that open or increase risk are refused until /resume; orders "
        "that reduce risk still pass."]
    assert command(desk, "halt") == ["Trading is already halted by the operator (since 14:02)."]
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None") == (
        "Order refused: trading is halted by the operator (/halt at 14:02; /resume lifts it); "
        "only orders that reduce risk are taken.")
    assert send(desk, "EPZ5,1,s,c,m,CQG,None,None").startswith("Order placed")
    # With that sell working, selling 2 more could go through zero: a new short.
    assert send(desk, "EPZ5,2,s,o,m,CQG,None,None").startswith("Order refused: trading is halted")
    assert command(desk, "resume") == ["Trading resumed."]
    assert send(desk, "EPZ5,1,l,o,m,CQG,None,None").startswith("Order placed")


def test_risk_shows_the_limits_what_is_used_and_the_state(limited):
    desk = limited
    desk.engine.max_positions = {fakes.CL: 5}
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    desk.adapter.balance.realized_pnl = -5_250.0
    desk.adapter.balance.unrealized_pnl = 25.0
    (text,) = command(desk, "risk")
    assert text.splitlines() == [
        "Risk limits:",
        "max_order_quantity: 10 contracts per order",
        "max_position: 20 contracts in one instrument (CLEF6.NYMEX: 5)",
        "price_band: 5% of the last price",
        "max_daily_loss: 1,000.00, flatten_on_loss: no",
        "Positions: EPZ5.CME long 2 of at most 20",
        "Trading day 2025-12-01: today's P&L -225.00 (realized -250.00, open +25.00); loss "
        "used 225.00 of 1,000.00 (22%)",
        "State: trading"]
    command(desk, "halt")
    assert command(desk, "risk")[0].endswith("State: halted by the operator since 14:05 (/resume)")
    desk.engine.limits = Limits()
    assert "max_daily_loss: off" in command(desk, "risk")[0]


def test_an_earlier_days_carried_loss_is_not_counted_on_a_new_day(desk):
    desk.engine.limits = Limits(max_daily_loss=Decimal(1000))
    market = [MONDAY]
    desk.engine.risk.market_time = lambda: market[0]
    desk.engine.risk.carry(dt.date(2025, 12, 1), -900.0)  # a restarted session, Monday
    desk.adapter.balance.unrealized_pnl = -150.0
    desk.engine.check_risk()
    assert answers(desk)[0].startswith(
        "Daily loss limit reached: today's P&L -1,050.00 (realized -900.00, open -150.00)")
    market[0] += dt.timedelta(hours=9)  # Tuesday's day: Monday's losses stay with Monday
    desk.engine.check_risk()
    assert desk.engine.risk.figures.realized == 0.0 and not desk.engine.risk.halted
