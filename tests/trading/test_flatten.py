"""Flatten (/flatten [symbol], /close_positions): working orders cancelled first, positions
closed in orders no larger than the per-order limit, each checked, one report; the engine
never held up while it waits."""
import threading

import pytest

from zandor_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.trading import Request

from ..waiting import eventually
from . import fakes
from .test_engine import answers, ask, desk, dispatch  # noqa: F401  (the fixture)


@pytest.fixture
def clock(desk):
    now = [1000.0]
    desk.engine.clock = lambda: now[0]
    desk.engine.orders.flatten_wait = 5.0
    return now


def flatten(desk, symbol=None):
    desk.engine.submit(Request("flatten", {"symbol": symbol}))
    desk.engine.serve_pending()
    return answers(desk)


def working(desk, security=fakes.ES, direction=Direction.SHORT, quantity=1, price=6900.0):
    order_id = desk.gateway.send_order(Order(security=security, price=price, quantity=quantity,
                                             direction=direction, order_type=OrderType.LIMIT))
    desk.adapter.report(order_id, OrderStatus.SUBMITTED)
    return order_id


def placed(desk, after=0):
    return [c[1] for c in desk.adapter.calls if c[0] == "place_order"][after:]


def cancels(desk):
    return [c[1] for c in desk.adapter.calls if c[0] == "cancel_order"]


def fill_all(desk, orders, first_id):
    for n, order in enumerate(orders):
        order_id = f"{{ORDER-{first_id + n}}}"
        desk.adapter.fill(order_id, order.quantity, 6850.0, f"D{first_id + n}")


def test_cancels_come_first_then_the_position_is_closed_in_orders_within_the_limit(desk, clock):
    desk.adapter.open_positions = [fakes.long_position(quantity=15)]
    sell, buy, other = working(desk), working(desk, direction=Direction.LONG, price=6800.0), \
        working(desk, fakes.CL, price=59.0)
    assert flatten(desk, "epz5") == []  # waiting for the cancels: nothing placed yet
    assert cancels(desk) == [sell, buy] and placed(desk, 3) == []
    desk.adapter.report(sell, OrderStatus.CANCELLED)
    desk.engine.serve_pending()
    assert placed(desk, 3) == []  # one cancel still unanswered
    # The buy fills before its cancel: the position read afterwards holds it.
    desk.adapter.fill(buy, 1, 6800.0, "D1")
    desk.adapter.open_positions = [fakes.long_position(quantity=16)]
    desk.engine.serve_pending()
    closing = placed(desk, 3)
    assert [(o.direction, o.quantity, o.offset, o.order_type) for o in closing] == [
        (Direction.SHORT, 10, Offset.CLOSE, OrderType.MARKET),
        (Direction.SHORT, 6, Offset.CLOSE, OrderType.MARKET)]
    assert all(o.security == fakes.ES for o in closing)
    answers(desk)  # the cancel and the fill announced
    fill_all(desk, closing, 4)
    desk.engine.serve_pending()
    assert answers(desk)[-1] == ("Flat: EPZ5: 1 order cancelled, 1 order filled before its "
                                 "cancel, 16 closed in 2 orders")
    assert other not in cancels(desk)  # another instrument's order is left alone


def test_close_positions_flattens_every_instrument_and_says_when_there_is_nothing(desk, clock):
    assert ask(desk, close_positions=True) == [
        "Nothing to flatten: no open position or working order."]
    assert flatten(desk, "CLEF6") == ["Nothing to flatten in CLEF6: no open position or working "
                                      "order."]
    short_cl = fakes.long_position(fakes.CL, 2, 58.5)
    short_cl.direction = Direction.SHORT
    desk.adapter.open_positions = [fakes.long_position(quantity=3), short_cl]
    assert ask(desk, close_positions=True, close_positions_gateway_name="CQG") == []
    closing = placed(desk)
    assert [(o.security, o.direction, o.quantity) for o in closing] == [
        (fakes.ES, Direction.SHORT, 3), (fakes.CL, Direction.LONG, 2)]
    fill_all(desk, closing, 1)
    desk.engine.serve_pending()
    assert answers(desk)[-1] == "Flat: EPZ5: 3 closed in 1 order; CLEF6: 2 closed in 1 order"
    assert desk.bot.close_positions_gateway_name is None  # held for that request only
    assert ask(desk, close_positions=True, close_positions_gateway_name="IB") == [
        "Close refused: no gateway named 'IB' (gateways: CQG)."]
    assert flatten(desk, "ZNH6") == ["Flatten refused: 'ZNH6' is not traded in this session."]


def test_cancels_refused_or_unanswered_are_reported_and_the_close_is_checked(desk, clock):
    desk.adapter.open_positions = [fakes.long_position(quantity=12)]
    working(desk, direction=Direction.LONG, price=6800.0)  # {ORDER-1}
    working(desk)  # {ORDER-2}
    refused = "{ORDER-1}"

    def no_longer_working(order_id):
        if order_id == refused:
            raise RuntimeError("no longer working")

    desk.adapter.hooks["cancel_order"] = no_longer_working
    flatten(desk, "EPZ5")
    assert flatten(desk) == ["Flatten refused: a flatten is under way; its report comes when "
                             "it is done."]
    clock[0] += 4.9
    desk.engine.serve_pending()
    assert placed(desk, 2) == []
    clock[0] += 0.1  # the wait for the cancels is over: close what the checks let through
    desk.engine.serve_pending()
    (first,) = placed(desk, 2)
    assert (first.direction, first.quantity) == (Direction.SHORT, 10)
    desk.adapter.fill("{ORDER-3}", 10, 6850.0)
    desk.engine.serve_pending()
    (report,) = [a for a in answers(desk) if not a.startswith("Deal")]
    assert report == (
        f"Not flat: EPZ5: 1 order not cancelled (ORDER-1: RuntimeError: no longer "
        f"working), 1 cancel not answered after 5 s (ORDER-2), 10 of 12 closed in 1 "
        f"order, 2 still long: selling 2 would take EPZ5.CME from long 2 through zero with 1 "
        f"working on that side: 1 would close it")


def test_an_order_whose_cancel_is_not_answered_leaves_the_account_not_flat(desk, clock):
    desk.adapter.open_positions = [fakes.long_position(quantity=1)]
    working(desk, direction=Direction.LONG, price=6800.0)  # could still buy
    flatten(desk)
    clock[0] += 5.0
    desk.engine.serve_pending()
    desk.adapter.fill("{ORDER-2}", 1, 6850.0)
    desk.engine.serve_pending()
    assert answers(desk)[-1] == ("Not flat: EPZ5: 1 cancel not answered after 5 s (ORDER-1), "
                                 "1 closed in 1 order")


def test_closing_orders_rejected_unfilled_or_refused_say_what_is_left_and_why(desk, clock):
    short_cl = fakes.long_position(fakes.CL, 2, 58.5)
    short_cl.direction = Direction.SHORT
    desk.adapter.open_positions = [fakes.long_position(quantity=3), short_cl]
    flatten(desk)
    # As the gateway's sink tells it, on the component's thread, before the update.
    desk.gateway.order_rejected("{ORDER-1}", "Market closed: F.US.EPZ5 trades again from "
                                             "Mon 2025-12-01 17:00 Chicago time")
    desk.adapter.report("{ORDER-1}", OrderStatus.FAILED)
    desk.adapter.report("{ORDER-2}", OrderStatus.SUBMITTED, 1, 58.5)  # 1 of 2 filled so far
    clock[0] += 5.0
    desk.engine.serve_pending()
    assert answers(desk)[-1] == (
        "Not flat: EPZ5: 0 of 3 closed in 1 order, 3 still long: order ORDER-1 rejected by the "
        "broker: Market closed: F.US.EPZ5 trades again from Mon 2025-12-01 17:00 Chicago time; "
        "CLEF6: 1 of 2 closed in 1 order, 1 still short: order ORDER-2 not filled after 5 s")
    # With the gateway down nothing is sent: what is left says so.
    desk.adapter.report("{ORDER-2}", OrderStatus.CANCELLED, 1, 58.5)
    desk.gateway.link_changed("gateway", True)
    desk.gateway.link_changed("gateway", False)
    since = desk.gateway.down_since().strftime("%H:%M")
    desk.adapter.open_positions = [fakes.long_position(quantity=3)]
    assert (f"Not flat: EPZ5: 3 still long: Gateway connection down since {since}; order not "
            f"sent") in flatten(desk)
    assert len(placed(desk)) == 2


def test_the_running_engine_serves_other_requests_while_a_flatten_waits(desk):
    desk.engine.orders.flatten_wait = 60.0
    desk.adapter.open_positions = [fakes.long_position(quantity=1)]
    order_id = working(desk)
    desk.gateway.add_listener(desk.engine.on_gateway_record)  # as the session wires it
    runner = threading.Thread(target=desk.engine.run)
    runner.start()
    try:
        desk.engine.submit(Request("flatten", {"symbol": None}))
        eventually(lambda: order_id in cancels(desk))
        dispatch(desk, get_deals=True)
        eventually(lambda: desk.bot.sent == ["No deals."])  # served while the cancel waits
        assert placed(desk, 1) == []
        desk.adapter.report(order_id, OrderStatus.CANCELLED)
        eventually(lambda: len(placed(desk, 1)) == 1)
        # The order's fill wakes the engine, even before (or without) its deal.
        desk.adapter.report("{ORDER-2}", OrderStatus.FILLED, 1, 6850.0)
        eventually(lambda: any(m.startswith("Flat: ") for m in desk.bot.sent))
    finally:
        desk.engine.request_stop("done")
        runner.join(10)
    assert not runner.is_alive()
    assert answers(desk)[-1] == "Flat: EPZ5: 1 order cancelled, 1 closed in 1 order"


def test_the_running_engine_moves_a_flatten_on_when_its_wait_is_over(desk):
    desk.engine.orders.flatten_wait = 0.05  # seconds of the real clock
    desk.adapter.open_positions = [fakes.long_position(quantity=1)]
    unanswered = working(desk)
    runner = threading.Thread(target=desk.engine.run)
    runner.start()
    try:
        desk.engine.submit(Request("flatten", {"symbol": "EPZ5"}))
        # No answer wakes the engine: its own timer ends each wait.
        eventually(lambda: any(m.startswith("Not flat: ") for m in desk.bot.sent))
    finally:
        desk.engine.request_stop("done")
        runner.join(10)
    assert answers(desk)[-1] == (
        "Not flat: EPZ5: 1 cancel not answered after 0.05 s (ORDER-1), 1 still long: selling 1 "
        "would take EPZ5.CME from long 1 through zero with 1 working on that side: the working "
        "orders on that side close it already")
    assert unanswered in cancels(desk)
