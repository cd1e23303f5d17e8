"""Questions with Confirm and Cancel: the /stop confirmation pressed while it holds ends the
session; one that lapsed (the /stop rules), was answered already or is not known says so and
does nothing; typing the confirmation settles the question too."""
import pytest

from zandor_trader.core.constants import OrderStatus
from zandor_trader.trading import Request
from zandor_trader.trading.questions import CANCEL, CONFIRM, PRESS, UNKNOWN

from . import fakes
from .test_engine import answers, ask, desk, fakes_order  # noqa: F401  (the fixture)

STOP = {"zandor_trader_status": "Terminated"}


@pytest.fixture
def asked(desk):
    """A /stop that asks (a position is open), on a clock the test moves."""
    now = [100.0]
    desk.engine.clock = lambda: now[0]
    desk.outlet = fakes.Outlet(desk.engine)
    desk.adapter.open_positions = [fakes.long_position(quantity=1)]
    (text,) = ask(desk, **STOP)
    assert text.startswith("Stop not done yet") and "Send /stop again" in text
    desk.now = now
    return desk.outlet.questions[-1]


def press(desk, question, choice=CONFIRM, query="q1"):
    desk.engine.submit(Request(PRESS, {"key": question.key, "choice": choice,
                                       "query_id": query}))
    desk.engine.serve_pending()
    return answers(desk)


def test_confirm_pressed_while_the_question_holds_ends_the_session(desk, asked):
    desk.now[0] += 59
    assert press(desk, asked) == []
    assert desk.engine._stop_reason == "/stop from the operator"
    assert desk.outlet.notes == [(asked.key, "Chosen: Confirm")]
    assert desk.outlet.answers == [("q1", "Confirmed.")]


def test_cancel_ends_the_question_and_a_second_press_is_told_it_was_answered(desk, asked):
    press(desk, asked, CANCEL, "q1")
    press(desk, asked, CONFIRM, "q2")
    assert desk.engine._stop_reason is None
    assert desk.outlet.notes == [(asked.key, "Chosen: Cancel")]
    assert desk.outlet.answers == [("q1", "Cancelled."), ("q2", "Answered already: Cancel.")]
    (again,) = ask(desk, **STOP)  # a cancelled question confirms nothing: /stop asks anew
    assert again.startswith("Stop not done yet") and desk.engine._stop_reason is None


@pytest.mark.parametrize("meanwhile, why", [
    ("time", "more than 60 s passed"),
    ("request", "another request came in between"),
    ("business", "the open business changed"),
])
def test_a_lapsed_question_says_so_when_pressed_and_nothing_is_done(desk, asked, meanwhile,
                                                                    why):
    if meanwhile == "time":
        desk.now[0] += 61
    elif meanwhile == "request":
        assert ask(desk, get_deals=True) == ["No deals."]
    else:
        desk.adapter.open_positions = [fakes.long_position(quantity=2)]
    press(desk, asked, CONFIRM, "q1")
    press(desk, asked, CONFIRM, "q2")
    lapsed = f"This question lapsed: {why}; send /stop to ask again."
    assert desk.outlet.answers == [("q1", lapsed), ("q2", lapsed)]
    assert desk.outlet.notes == [(asked.key, f"Lapsed: {why}; send /stop to ask again.")]
    assert desk.engine._stop_reason is None


def test_a_press_of_another_question_comes_between_the_stop_and_its_confirmation(desk, asked):
    other = desk.engine.questions.ask("order", "Place it?", lambda: None, "send it again")
    press(desk, other, CANCEL, "q1")
    assert ask(desk, **STOP)[0].startswith("Stop not done yet")  # asked anew
    assert desk.engine._stop_reason is None


@pytest.mark.parametrize("typed, how", [((), "typed /stop again"),
                                        (("force",), "typed /stop force")])
def test_typing_the_confirmation_still_works_and_settles_the_question(desk, asked, typed, how):
    desk.bot.zandor_trader_status = "Terminated"
    desk.intake.on_dispatched(None, type("Context", (), {"args": list(typed)})())
    desk.engine.serve_pending()
    assert desk.engine._stop_reason == "/stop from the operator"
    assert desk.outlet.notes == [(asked.key, f"Chosen: Confirm ({how})")]
    assert press(desk, asked) == ["Not served: the session is ending"]


def test_a_press_no_question_of_this_session_asked_is_told_so(desk):
    outlet = fakes.Outlet(desk.engine)
    desk.engine.submit(Request(PRESS, {"key": "f00.1", "choice": CONFIRM, "query_id": "q9"}))
    desk.engine.serve_pending()
    assert outlet.answers == [("q9", UNKNOWN)] and desk.engine._stop_reason is None


def test_a_flatten_asks_first_when_there_is_something_to_flatten(desk):
    outlet = fakes.Outlet(desk.engine)
    desk.engine.orders.confirm_flatten = True
    flatten = Request("flatten", {"symbol": None})
    desk.engine.submit(flatten)
    desk.engine.serve_pending()
    assert answers(desk) == ["Nothing to flatten: no open position or working order."]
    resting = desk.gateway.send_order(fakes_order(quantity=1))
    desk.engine.submit(flatten)
    desk.engine.serve_pending()
    (asked,) = answers(desk)  # a working order alone is something to flatten
    assert asked.endswith(f"\nWorking orders: 1\n{resting} EPZ5.CME LONG 1 MARKET OPEN: "
                          f"UNKNOWN")
    desk.adapter.report(resting, OrderStatus.CANCELLED)
    desk.engine.serve_pending()
    assert answers(desk)[0].startswith("Order cancelled: ")
    desk.adapter.open_positions = [fakes.long_position(quantity=2), fakes.long_position(
        fakes.CL, quantity=1, price=58.5)]
    assert ask(desk, close_positions=True) == [
        "Flatten the account? Its working orders are cancelled first, then its positions "
        "closed with market orders.\nOpen positions: 2\nCQG EPZ5.CME LONG 2 @ 6850.25\n"
        "CQG CLEF6.NYMEX LONG 1 @ 58.5"]
    desk.engine.submit(Request("flatten", {"symbol": "clef6"}))
    desk.engine.serve_pending()
    (one,) = answers(desk)
    assert one.startswith("Flatten CLEF6? ") and "EPZ5" not in one
    assert len([c for c in desk.adapter.calls if c[0] == "place_order"]) == 1  # asked only
    press(desk, outlet.questions[1])
    placed = [c[1] for c in desk.adapter.calls if c[0] == "place_order"][1:]
    assert [(o.security.code, o.quantity) for o in placed] == [("EPZ5", 2), ("CLEF6", 1)]
    assert outlet.answers == [("q1", "Confirmed.")]
    # While that flatten waits for its orders, another is refused without asking.
    assert ask(desk, close_positions=True) == [
        "Flatten refused: a flatten is under way; its report comes when it is done."]
    assert len(outlet.questions) == 3
    assert press(desk, outlet.questions[2], query="q2") == [
        "Flatten refused: a flatten is under way; its report comes when it is done."]
