"""The end of a session: nothing served once it must end, every request still answered; the
bot's mark never read as a /stop; confirmations that lapse; Ctrl-C that asks first; the time
limit told a minute ahead."""
import threading
import types

from zandor_trader.trading.engine import TIME_LIMIT_WARNING
from zandor_trader.trading.requests import NOT_SERVED

from ..waiting import eventually
from . import fakes
from .test_engine import answers, ask, desk, dispatch, fakes_order  # noqa: F401  (the fixture)

STOP = {"zandor_trader_status": "Terminated"}


def placed(desk):
    return [c for c in desk.adapter.calls if c[0] == "place_order"]


def stop_force(desk):
    desk.bot.zandor_trader_status = "Terminated"
    return desk.intake.on_dispatched(None, types.SimpleNamespace(args=["force"]))


def close_the_intake_when_ending(desk):
    desk.engine.on_ending = desk.intake.close


def test_requests_behind_a_confirmed_stop_are_answered_not_served_and_nothing_is_placed(desk):
    close_the_intake_when_ending(desk)
    dispatch(desk, send_order=True, order_string="EPZ5,1,l,o,m,CQG,None,None")
    stop_force(desk)
    dispatch(desk, send_order=True, order_string="EPZ5,2,l,o,m,CQG,None,None")
    dispatch(desk, close_positions=True)
    dispatch(desk, get_balance=True)
    desk.intake.answer("Unknown command /balanse: /help lists the commands.")
    assert desk.engine.run() == "/stop from the operator"
    assert len(placed(desk)) == 1  # the order before the /stop only
    assert answers(desk) == ["Order placed: {ORDER-1} EPZ5.CME LONG 1 MARKET",
                             NOT_SERVED, NOT_SERVED, NOT_SERVED,
                             "Unknown command /balanse: /help lists the commands."]


def test_the_engine_closes_the_intake_before_it_marks_the_bot_terminated(desk):
    """The mark is never taken for a /stop, and what comes after the end is still answered
    once, by the intake."""
    unserved = []
    desk.intake.when_closed = unserved.append
    seen_open = []
    desk.engine.on_ending = lambda: (seen_open.append(desk.bot.zandor_trader_status),
                                     desk.intake.close())
    desk.engine.request_stop("Ctrl-C")
    assert desk.engine.run() == "Ctrl-C"
    assert seen_open == ["Running"] and desk.bot.zandor_trader_status == "Terminated"
    requests = dispatch(desk, get_balance=True)  # an update after the end
    assert [r.kind for r in requests] == ["get_balance"] and [r.kind for r in unserved] == [
        "get_balance"]
    assert not desk.bot.get_balance  # taken off the bot all the same
    assert desk.bot.zandor_trader_status == "Terminated"  # and no /stop read from the mark
    dispatch(desk, **STOP)  # a real /stop now: nothing more to do, nothing answered
    assert len(unserved) == 1


def test_a_stop_confirmation_lapses_after_a_minute(desk):
    now = [0.0]
    desk.engine.clock = lambda: now[0]
    desk.adapter.open_positions = [fakes.long_position(quantity=1)]
    (asked,) = ask(desk, **STOP)
    assert asked.startswith("Stop not done yet")
    now[0] = 61.0
    (again,) = ask(desk, **STOP)  # too late: asked again
    assert again.startswith("Stop not done yet") and desk.engine._stop_reason is None
    now[0] = 120.0
    assert ask(desk, **STOP) == []
    assert desk.engine._stop_reason == "/stop from the operator"


def test_a_stop_confirmation_lapses_when_the_open_business_changed(desk):
    desk.adapter.open_positions = [fakes.long_position(quantity=1)]
    (asked,) = ask(desk, **STOP)
    assert "CQG EPZ5.CME LONG 1 @ 6850.25" in asked
    desk.adapter.open_positions = [fakes.long_position(quantity=9)]  # filled meanwhile
    (again,) = ask(desk, **STOP)
    assert again.startswith("Stop not done yet") and "CQG EPZ5.CME LONG 9 @ 6850.25" in again
    working = desk.gateway.send_order(fakes_order(quantity=2))  # a new working order
    (third,) = ask(desk, **STOP)
    assert f"Working orders: 1\n{working}" in third and desk.engine._stop_reason is None
    assert ask(desk, **STOP) == []  # nothing changed since: confirmed
    assert desk.engine._stop_reason == "/stop from the operator"


def test_a_stop_confirmation_lapses_when_another_placement_of_unknown_outcome_comes(desk):
    trades = desk.gateway.trades
    trades.placement_timed_out(fakes_order(quantity=2))
    (asked,) = ask(desk, **STOP)
    assert "Placements of unknown outcome: 1" in asked  # the broker may have it
    trades.placement_timed_out(fakes_order(quantity=3))  # timed out meanwhile
    (again,) = ask(desk, **STOP)
    assert "Placements of unknown outcome: 2" in again and desk.engine._stop_reason is None
    assert ask(desk, **STOP) == []
    assert desk.engine._stop_reason == "/stop from the operator"


def test_ctrl_c_ends_at_once_with_nothing_open(desk):
    desk.engine.interrupt()
    assert desk.engine.run() == "Ctrl-C"
    assert answers(desk) == []


def test_ctrl_c_with_business_open_asks_on_the_terminal_and_a_second_within_5_s_ends(desk):
    now = [100.0]
    desk.engine.clock = lambda: now[0]
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    desk.engine.interrupt()
    desk.engine.serve_pending()
    assert desk.engine._stop_reason is None and answers(desk) == []
    question = desk.notices[-1].splitlines()
    assert question[0] == "Ctrl-C: the account still has business open."
    assert "CQG EPZ5.CME LONG 2 @ 6850.25" in question
    assert question[-1] == ("Press Ctrl-C again within 5 s to end the session anyway; "
                            "positions and orders are left as they are.")
    now[0] = 106.0  # too late: asked again
    desk.engine.interrupt()
    desk.engine.serve_pending()
    assert desk.engine._stop_reason is None and desk.notices[-1].startswith("Ctrl-C: the acc")
    now[0] = 110.0
    desk.engine.interrupt()
    desk.engine.serve_pending()
    assert desk.engine._stop_reason == "Ctrl-C"


def test_the_operator_is_told_a_minute_before_the_time_limit(desk):
    now, read = [0.0], []

    def clock():
        read.append(now[0])
        return now[0]

    desk.engine.clock = clock
    runner = threading.Thread(target=lambda: setattr(desk, "reason", desk.engine.run(90.0)))
    runner.start()
    try:
        now[0] = 29.0  # 61 s before the end
        desk.engine.wake()
        eventually(lambda: 29.0 in read)  # the loop looked at the time: too early to tell
        desk.engine.alert("tock")
        eventually(lambda: desk.bot.sent == ["tock"])
        now[0] = 30.0
        desk.engine.wake()
        eventually(lambda: len(desk.bot.sent) == 2)
        now[0] = 90.0
        desk.engine.wake()
        runner.join(10)
    finally:
        desk.engine.request_stop("done")
        runner.join(10)
    assert desk.reason == "time limit reached"
    assert answers(desk) == ["tock", TIME_LIMIT_WARNING]


def test_a_short_session_is_not_warned(desk):
    desk.engine.clock = lambda: 0.0
    desk.engine.request_stop("done")
    assert desk.engine.run(deadline=60.0) == "done"
    assert answers(desk) == []


def test_a_price_too_large_for_any_arithmetic_is_refused_plainly(desk):
    (refused,) = ask(desk, send_order=True, order_string="EPZ5,1,l,o,l,CQG,1E+999999999,None")
    assert refused == ("Order refused: price 1E+999999999 is more than 10,000% from the last "
                       "price 6850.25 of EPZ5.CME (at most 5%).")
    assert placed(desk) == []



def test_once_the_session_must_end_a_flatten_under_way_and_the_loss_limit_place_nothing(desk):
    """A flatten whose cancels are answered after a /stop force leaves the position as it
    is; a deal then that crosses the loss limit flattens nothing either."""
    from decimal import Decimal

    from zandor_trader.core.constants import OrderStatus
    from zandor_trader.trading import Limits, Request

    from .test_flatten import working

    close_the_intake_when_ending(desk)
    desk.engine.limits = Limits(max_daily_loss=Decimal(1), flatten_on_loss=True)
    desk.engine.check_risk()  # the day starts flat
    desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    resting = working(desk)
    desk.engine.submit(Request("flatten", {"symbol": None}))
    desk.engine.serve_pending()
    assert [c[1] for c in desk.adapter.calls if c[0] == "cancel_order"] == [resting]
    stop_force(desk)
    desk.adapter.report(resting, OrderStatus.CANCELLED)  # the flatten could close now
    desk.adapter.balance.unrealized_pnl = -5_000.0
    desk.adapter.fill(desk.gateway.send_order(fakes_order()), 1, 6850.0, "D1")
    desk.engine.serve_pending()  # the /stop, then the deal and the cancel seen
    assert desk.engine._stop_reason == "/stop from the operator"
    assert len(placed(desk)) == 2  # the resting order and the filled one: nothing closes
    told = answers(desk)
    assert [a for a in told if a.startswith(("Flat", "Not flat", "Daily loss"))] == []
    assert any(a.startswith("Deal: D1") for a in told)  # the deal itself is still told
