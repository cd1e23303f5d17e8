"""The engine serving the operator's requests: each served once and answered, none lost,
none taken half-written, and a failing call answered instead of ending the session."""
import threading
import types

import pytest

from zandor_trader.core.constants import Direction, OrderStatus, OrderType
from zandor_trader.engine import Engine
from zandor_trader.operator_requests import DispatchGate, take_requests

from . import fakes

OPERATOR = 42


def update_from(chat_id):
    return types.SimpleNamespace(effective_chat=types.SimpleNamespace(id=chat_id))


@pytest.fixture
def desk():
    bot = fakes.Bot()
    gateway = fakes.gateway_with_adapter()
    notices = []
    engine = Engine(bot, gateway, DispatchGate(OPERATOR), log=notices.append)
    return types.SimpleNamespace(bot=bot, gateway=gateway, adapter=gateway.adapter,
                                 engine=engine, notices=notices)


def ask(desk, **fields):
    for name, value in fields.items():
        setattr(desk.bot, name, value)
    desk.engine.serve()
    sent, desk.bot.sent = desk.bot.sent, []
    return sent


def test_balance_and_positions_are_refreshed_before_they_are_answered(desk):
    desk.adapter.open_positions = [fakes.long_position()]
    (balance,) = ask(desk, get_balance=True)
    assert balance.startswith("Balance of CQG account 100101:\ncash: 1,000,000\n")
    assert "available_cash: 900,000.5" in balance
    (positions,) = ask(desk, get_positions=True)
    assert positions == "Open positions (1):\nCQG EPZ5.CME LONG 2 @ 6850.25"
    assert [c[0] for c in desk.adapter.calls] == ["update_account_balance", "update_positions"]
    assert not desk.bot.get_balance and not desk.bot.get_positions
    assert ask(desk) == []  # lowered: nothing is served twice


def once(action):
    done = []

    def hook(*args):
        if not done:
            done.append(True)
            action()
    return hook


def test_a_request_raised_while_another_is_served_is_served_too(desk):
    # A second /balance arrives while the first is being fetched, and a /positions too.
    desk.adapter.hooks["update_account_balance"] = once(
        lambda: (setattr(desk.bot, "get_balance", True), setattr(desk.bot, "get_positions", True)))
    sent = ask(desk, get_balance=True)
    assert [m.split("\n")[0] for m in sent] == [
        "Balance of CQG account 100101:", "Balance of CQG account 100101:", "No open positions."]


def test_orders_and_deals_listing_follow_the_filter_and_count(desk):
    ids = [desk.gateway.send_order(o) for o in (
        fakes_order(quantity=1), fakes_order(quantity=2), fakes_order(quantity=3))]
    desk.adapter.fill(ids[0], 1, 6850.0, "D1")
    desk.adapter.report(ids[1], OrderStatus.SUBMITTED)
    desk.adapter.fill(ids[2], 3, 6851.0, "D2")
    desk.bot.sent.clear()
    desk.engine._announced = 2  # the deals above have been announced
    (listing,) = ask(desk, get_orders=True, num_orders_displayed=2)
    assert listing.splitlines() == [
        "Last 2 of 3 orders:",
        f"{ids[1]} EPZ5.CME LONG 2 MARKET OPEN: SUBMITTED",
        f"{ids[2]} EPZ5.CME LONG 3 MARKET OPEN: FILLED, filled 3 @ 6851"]
    (active,) = ask(desk, get_orders=True, active_orders=True, num_orders_displayed=5)
    assert active.splitlines()[0] == "Last 1 of 1 active orders:" and ids[1] in active
    # "-a" held for that request only; the count stays as the operator left it.
    assert desk.bot.active_orders is False and desk.bot.num_orders_displayed == 5
    (none_shown,) = ask(desk, get_orders=True, num_orders_displayed=0)
    assert none_shown == "3 orders, none shown."
    (deals,) = ask(desk, get_deals=True, num_deals_displayed=1)
    assert deals.splitlines()[0] == "Last 1 of 2 deals:" and "D2 order" in deals
    assert ask(desk, get_deals=True, num_deals_displayed=-3) == ["2 deals, none shown."]


def fakes_order(quantity=1, direction=Direction.LONG):
    from zandor_trader.core.order import Order
    return Order(security=fakes.ES, price=None, quantity=quantity, direction=direction,
                 order_type=OrderType.MARKET)


def test_send_order_places_what_the_string_says_and_refuses_a_malformed_one(desk):
    (placed,) = ask(desk, send_order=True, order_string="EPZ5,2,s,o,l,CQG,6860.5,None")
    assert placed == "Order placed: {ORDER-1} EPZ5.CME SHORT 2 LIMIT price=6860.5"
    (_, order), = [c for c in desk.adapter.calls if c[0] == "place_order"]
    assert (order.direction, order.quantity, order.price, order.order_type) == (
        Direction.SHORT, 2, 6860.5, OrderType.LIMIT)
    assert desk.gateway.trades.get("{ORDER-1}") is not None
    (refused,) = ask(desk, send_order=True, order_string="EPZ5,2,s,o,l,CQG,None,None")
    assert refused == "Order refused: a limit order needs price as a positive number, not 'None'."
    assert len([c for c in desk.adapter.calls if c[0] == "place_order"]) == 1


def test_cancel_order_refuses_an_unknown_gateway_or_id_and_a_finished_order(desk):
    live = desk.gateway.send_order(fakes_order())
    done = desk.gateway.send_order(fakes_order())
    desk.adapter.report(live, OrderStatus.SUBMITTED)
    desk.adapter.fill(done, 1, 6850.0)
    desk.engine._announced = 1
    desk.bot.sent.clear()
    assert ask(desk, cancel_order=True, cancel_order_id=live, gateway_name="IB") == [
        "Cancel refused: no gateway named 'IB' (gateways: CQG)."]
    assert ask(desk, cancel_order=True, cancel_order_id="{NOPE}", gateway_name="CQG") == [
        "Cancel refused: CQG has no order with id '{NOPE}'."]
    assert ask(desk, cancel_order=True, cancel_order_id=done, gateway_name="CQG") == [
        f"Cancel refused: order {done} is FILLED, not active."]
    assert not [c for c in desk.adapter.calls if c[0] == "cancel_order"]
    (requested,) = ask(desk, cancel_order=True, cancel_order_id=live, gateway_name="CQG")
    assert requested.startswith(f"Cancel requested for order {live} ")
    assert ("cancel_order", live) in desk.adapter.calls


def test_cancel_orders_cancels_every_active_order_and_reports_each_failure(desk):
    assert ask(desk, cancel_orders=True) == ["No active orders to cancel."]
    first, second = (desk.gateway.send_order(fakes_order()) for _ in range(2))

    def refuse_second(orderid):
        if orderid == second:
            raise RuntimeError("no longer working")

    desk.adapter.hooks["cancel_order"] = refuse_second
    (reply,) = ask(desk, cancel_orders=True)
    assert reply.splitlines() == [
        "Cancelling 2 active orders:", f"cancel requested: {first}",
        f"cancel failed: {second}: RuntimeError: no longer working"]


def test_close_positions_sends_the_opposite_market_order_for_each(desk):
    desk.adapter.open_positions = [fakes.long_position(quantity=2),
                                   fakes.long_position(fakes.CL, 1, 58.5)]
    desk.adapter.open_positions[1].direction = Direction.SHORT
    (reply,) = ask(desk, close_positions=True, close_positions_gateway_name="CQG")
    assert reply.splitlines() == ["Closing 2 positions:",
                                  "placed {ORDER-1} EPZ5.CME SHORT 2 MARKET",
                                  "placed {ORDER-2} CLEF6.NYMEX LONG 1 MARKET"]
    # The gateway name held for that request only.
    assert desk.bot.close_positions_gateway_name is None
    assert ask(desk, close_positions=True, close_positions_gateway_name="IB") == [
        "Close refused: no gateway named 'IB' (gateways: CQG)."]
    desk.adapter.open_positions = []
    assert ask(desk, close_positions=True) == ["No open positions to close."]


def test_a_failing_adapter_call_is_answered_and_the_next_request_still_served(desk):
    def timeout(order):
        raise RuntimeError("Order placing timeout!")

    desk.adapter.hooks["place_order"] = timeout
    sent = ask(desk, send_order=True, order_string="EPZ5,1,l,o,m,CQG,None,None", get_deals=True)
    assert sent == ["No deals.",
                    "send_order failed: RuntimeError: Order placing timeout!"]
    assert "Serving send_order failed" in desk.notices[0]
    # An unreachable chat is noted, not raised.
    desk.bot.failing = ConnectionError("chat down")
    ask(desk, get_deals=True)
    assert desk.notices[-1] == "Could not answer the operator: ConnectionError: chat down"


def test_fills_are_announced_once(desk):
    order_id = desk.gateway.send_order(fakes_order(quantity=2))
    desk.adapter.fill(order_id, 2, 6850.25, "D7")
    assert ask(desk) == [f"Deal: D7 order {order_id} EPZ5.CME LONG 2 @ 6850.25 at 2025-12-01 22:30:05"]
    assert ask(desk) == []


def test_a_request_is_not_taken_while_its_update_is_being_dispatched(desk):
    """/send_order raises its flag before it writes the order string: the engine must wait
    for the end of that update, not send the string of the order before."""
    desk.bot.order_string = "EPZ5,1,l,o,m,CQG,None,None"  # left by an earlier /send_order
    trying = threading.Event()
    acquire = desk.engine.gate.acquire

    def watched(timeout):
        trying.set()
        return acquire(timeout)

    desk.engine.gate.acquire = watched
    gate, update = desk.engine.gate, update_from(OPERATOR)
    assert gate.begin(update)                  # dispatch of the new /send_order starts
    desk.bot.send_order = True                  # its flag is up, its string not yet written
    server = threading.Thread(target=desk.engine.serve)
    server.start()
    assert trying.wait(10)
    desk.bot.order_string = "CLEF6,3,s,o,m,CQG,None,None"
    desk.engine.on_update_dispatched(update)   # the later dispatcher group
    server.join(10)
    assert not server.is_alive()
    (_, order), = [c for c in desk.adapter.calls if c[0] == "place_order"]
    assert (order.security, order.quantity) == (fakes.CL, 3)


def test_the_gate_is_not_taken_for_other_chats_whose_updates_the_bot_stops():
    gate = DispatchGate(OPERATOR)
    assert not gate.begin(update_from(777))
    assert not gate.begin(types.SimpleNamespace(effective_chat=None))
    assert gate.acquire(0)  # free: a stopped update would never have ended it
    gate.release()
    assert not DispatchGate(None).begin(update_from(OPERATOR))


def test_take_requests_lowers_each_flag_as_it_reads_and_keeps_stop_raised():
    bot = fakes.Bot()
    bot.get_deals, bot.num_deals_displayed = True, 4
    bot.zandor_trader_status = "Terminated"
    requests = take_requests(bot)
    assert [(r.kind, r.params) for r in requests] == [
        ("get_deals", {"num_deals_displayed": 4}), ("stop", {})]
    assert bot.get_deals is False and bot.zandor_trader_status == "Terminated"


@pytest.mark.parametrize("how, reason", [
    ("/stop", "/stop from the operator"),
    ("deadline", "time limit reached"),
    ("request", "Ctrl-C"),
])
def test_run_ends_on_stop_time_limit_or_a_stop_request_and_marks_the_bot_terminated(
        desk, how, reason):
    deadline = None
    if how == "/stop":
        desk.bot.zandor_trader_status = "Terminated"
    elif how == "deadline":
        deadline = desk.engine.clock()
    else:  # from another thread while the engine sleeps
        threading.Thread(target=desk.engine.request_stop, args=("Ctrl-C",)).start()
    assert desk.engine.run(deadline) == reason
    assert desk.bot.zandor_trader_status == "Terminated"


def test_requests_left_when_the_stop_comes_are_still_served(desk):
    desk.bot.get_balance = True
    desk.engine.request_stop("Ctrl-C")
    assert desk.engine.run() == "Ctrl-C"
    assert desk.bot.sent[0].startswith("Balance of CQG")


def test_refreshing_for_the_display_keeps_snapshots_and_survives_a_failure(desk):
    refreshed = []
    desk.engine.on_refresh = lambda: refreshed.append(True)
    desk.adapter.open_positions = [fakes.long_position()]
    desk.engine.refresh()
    assert desk.gateway.account_balance.cash == 1_000_000.0
    assert len(desk.gateway.positions) == 1 and refreshed == [True]

    def broken():
        raise ValueError("Return CQG Position Side 3 is invalid!")

    desk.adapter.hooks["update_positions"] = broken
    desk.engine.refresh()
    assert desk.notices[-1] == ("Refreshing the account failed: ValueError: "
                                "Return CQG Position Side 3 is invalid!")
    assert refreshed == [True, True]


def test_timers_refresh_the_display_but_only_a_wake_up_reads_the_requests(desk):
    refreshes = threading.Semaphore(0)
    desk.engine.refresh_every = 0.001
    desk.engine.on_refresh = refreshes.release
    runner = threading.Thread(target=desk.engine.run)
    runner.start()
    assert refreshes.acquire(timeout=10)
    desk.bot.get_deals = True  # raised with no wake-up: left for the next one
    for _ in range(3):
        assert refreshes.acquire(timeout=10)
    assert desk.bot.sent == [] and desk.bot.get_deals
    answered = threading.Event()
    desk.engine.on_reply = answered.set
    desk.engine.wake()
    assert answered.wait(10)
    desk.engine.request_stop("done")
    runner.join(10)
    assert desk.bot.sent == ["No deals."]
