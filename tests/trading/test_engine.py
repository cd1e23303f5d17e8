"""The engine serving the operator's requests: each served once, in the order sent, and
answered; a failing call answered instead of ending the session; a failing chat never losing
an answer."""
import threading
import types

import pytest

from zandor_trader.chat import Outbox, RequestIntake
from zandor_trader.core.constants import Direction, OrderStatus, OrderType
from zandor_trader.trading import Engine

from ..waiting import eventually
from . import fakes


@pytest.fixture
def desk():
    bot = fakes.Bot()
    gateway = fakes.gateway_with_adapter()
    notices = []
    outbox = Outbox(bot.send_message, log=notices.append, first_retry=0.001,
                    last_retry=0.004).start()
    engine = Engine(bot, gateway, outbox=outbox, log=notices.append)
    intake = RequestIntake(bot, engine.submit)
    yield types.SimpleNamespace(bot=bot, gateway=gateway, adapter=gateway.adapter,
                                engine=engine, intake=intake, outbox=outbox, notices=notices)
    outbox.close(0)


def dispatch(desk, **fields):
    """One operator update: the bot's handler writes `fields`, the intake takes them."""
    for name, value in fields.items():
        setattr(desk.bot, name, value)
    return desk.intake.on_dispatched()


def answers(desk):
    """What the engine sent since the last call, once its outbox is empty."""
    assert desk.outbox.flush(10)
    sent, desk.bot.sent = desk.bot.sent, []
    return sent


def ask(desk, **fields):
    dispatch(desk, **fields)
    desk.engine.serve_pending()
    return answers(desk)


def test_balance_and_positions_are_refreshed_before_they_are_answered(desk):
    desk.adapter.open_positions = [fakes.long_position(price=6848.5)]
    (balance,) = ask(desk, get_balance=True)
    assert balance.startswith("Balance of CQG account 100101:\ncash: 1,000,000\n")
    assert "available_cash: 900,000.5" in balance
    (positions,) = ask(desk, get_positions=True)
    # Open P&L at the last price: 1.75 points of 50 on 2 contracts.
    assert positions == ("Open positions (1):\n"
                         "CQG EPZ5.CME LONG 2 @ 6848.5, last 6850.25, open P&L +175.00")
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


def test_a_request_arriving_while_another_is_served_is_served_next(desk):
    # A second /balance arrives while the first is being fetched, then a /positions.
    desk.adapter.hooks["update_account_balance"] = once(
        lambda: (dispatch(desk, get_balance=True), dispatch(desk, get_positions=True)))
    sent = ask(desk, get_balance=True)
    assert [m.split("\n")[0] for m in sent] == [
        "Balance of CQG account 100101:", "Balance of CQG account 100101:", "No open positions."]


def test_commands_sent_back_to_back_are_each_served_once_in_the_order_sent(desk):
    """Each command has one set of fields on the bot: two /send_order before the engine
    wakes must not leave only the second."""
    strings = ["EPZ5,1,l,o,m,CQG,None,None", "CLEF6,2,s,o,m,CQG,None,None",
               "EPZ5,3,s,o,l,CQG,6900,None"]
    for string in strings:
        dispatch(desk, send_order=True, order_string=string)
    dispatch(desk, cancel_order=True, cancel_order_id="{ORDER-3}", gateway_name="CQG")
    dispatch(desk, cancel_order=True, cancel_order_id="{ORDER-1}", gateway_name="CQG")
    dispatch(desk, get_orders=True, active_orders=True, num_orders_displayed=9)
    desk.engine.serve_pending()
    placed = [c[1] for c in desk.adapter.calls if c[0] == "place_order"]
    assert [(o.security.code, o.quantity) for o in placed] == [("EPZ5", 1), ("CLEF6", 2),
                                                             ("EPZ5", 3)]
    assert [c for c in desk.adapter.calls if c[0] == "cancel_order"] == [
        ("cancel_order", "{ORDER-3}"), ("cancel_order", "{ORDER-1}")]
    sent = answers(desk)
    assert [m.split("\n")[0].split(" {")[0] for m in sent] == (
        ["Order placed:"] * 3 + ["Cancel requested for order"] * 2 + ["Last 3 of 3 active orders:"])
    assert desk.engine.served == 6


def test_orders_and_deals_listing_follow_the_filter_and_count(desk):
    ids = [desk.gateway.send_order(o) for o in (
        fakes_order(quantity=1), fakes_order(quantity=2), fakes_order(quantity=3))]
    desk.adapter.fill(ids[0], 1, 6850.0, "D1")
    desk.adapter.report(ids[1], OrderStatus.SUBMITTED)
    desk.adapter.fill(ids[2], 3, 6851.0, "D2")
    assert len(ask(desk)) == 2  # the two fills are announced
    (listing,) = ask(desk, get_orders=True, num_orders_displayed=2)
    assert listing.splitlines() == [
        "Last 2 of 3 orders (/orders N lists the newest N):",
        f"{ids[1]} EPZ5.CME LONG 2 MARKET OPEN: SUBMITTED",
        f"{ids[2]} EPZ5.CME LONG 3 MARKET OPEN: FILLED, filled 3 @ 6851"]
    (active,) = ask(desk, get_orders=True, active_orders=True, num_orders_displayed=5)
    assert active.splitlines()[0] == "Last 1 of 1 active orders:" and ids[1] in active
    # "-a" held for that request only; the count stays as the operator left it.
    assert desk.bot.active_orders is False and desk.bot.num_orders_displayed == 5
    (none_shown,) = ask(desk, get_orders=True, num_orders_displayed=0)
    assert none_shown == "3 orders, none shown (/orders N lists the newest N)."
    (deals,) = ask(desk, get_deals=True, num_deals_displayed=1)
    assert deals.splitlines()[0] == "Last 1 of 2 deals (/deals N lists the newest N):"
    assert "D2 order" in deals
    assert ask(desk, get_deals=True, num_deals_displayed=-3) == [
        "2 deals, none shown (/deals N lists the newest N)."]
    (all_deals,) = ask(desk, get_deals=True, num_deals_displayed=5)
    assert all_deals.splitlines()[0] == "Last 2 of 2 deals:"


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
    assert len(ask(desk)) == 1  # the fill is announced
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


def test_a_failing_adapter_call_is_answered_and_the_next_request_still_served(desk):
    def gone(order):  # a first line that says what went wrong, the order's record after it
        raise RuntimeError(f"The object invoked has disconnected from its clients.\n{order} ")

    desk.adapter.hooks["place_order"] = gone
    sent = ask(desk, send_order=True, order_string="EPZ5,1,l,o,m,CQG,None,None", get_deals=True)
    assert sent == ["No deals.", "send_order failed: RuntimeError: The object invoked has "
                    "disconnected from its clients."]
    assert "Serving send_order failed" in desk.notices[0]
    assert "Order(security=" in desk.notices[0]  # the whole of it in the log


def test_fills_are_announced_once(desk):
    order_id = desk.gateway.send_order(fakes_order(quantity=2))
    desk.adapter.fill(order_id, 2, 6850.25, "D7")
    assert ask(desk) == [
        f"Deal: D7 order {order_id} EPZ5.CME LONG 2 @ 6850.25 at 2025-12-01 22:30:05 UTC+8"]
    assert ask(desk) == []


def test_every_fill_notice_arrives_once_in_order_while_the_chat_fails_for_a_while(desk):
    failures = iter([ConnectionError("chat down")] * 5)
    desk.bot.failing = lambda: next(failures, None)
    ids = [desk.gateway.send_order(fakes_order(quantity=q)) for q in (1, 2, 3)]
    for n, order_id in enumerate(ids, 1):
        desk.adapter.fill(order_id, n, 6850.0 + n, f"D{n}")
        desk.engine.serve_pending()
    sent = answers(desk)
    assert [m.split()[1] for m in sent] == ["D1", "D2", "D3"]
    assert desk.engine.deals_announced == 3 and desk.outbox.failures == 5
    assert desk.notices[0].startswith("Sending to the operator failed, trying again in ")


def test_the_engine_does_not_wait_for_a_slow_chat(desk):
    """Answers go out on the outbox's thread: a send stuck for long does not hold up the next
    request's call to the adapter."""
    release = threading.Event()
    desk.bot.failing = lambda: release.wait(10) and None
    try:
        ask_no_wait = lambda **f: (dispatch(desk, **f), desk.engine.serve_pending())
        ask_no_wait(get_balance=True)           # its answer is stuck in the chat
        order_id = desk.gateway.send_order(fakes_order())
        ask_no_wait(cancel_orders=True)         # still served at once
        assert ("cancel_order", order_id) in desk.adapter.calls
        assert desk.outbox.pending() == 2
    finally:
        release.set()
    assert len(answers(desk)) == 2


def test_answers_still_queued_when_the_outbox_closes_are_reported_not_dropped(desk):
    desk.bot.failing = lambda: ConnectionError("chat down")
    desk.engine.reply("Deal: D9 ...\nsecond line")
    assert desk.outbox.close(0.05) == ["Deal: D9 ...\nsecond line"]
    assert desk.notices[-1] == "Not delivered to the operator: Deal: D9 ..."
    desk.engine.reply("late")
    assert desk.notices[-1] == "Not sent to the operator (the session is closing): late"


@pytest.mark.parametrize("how, reason", [
    ("/stop", "/stop from the operator"),
    ("deadline", "time limit reached"),
    ("request", "Ctrl-C"),
])
def test_run_ends_on_stop_time_limit_or_a_stop_request_and_marks_the_bot_terminated(
        desk, how, reason):
    deadline = None
    if how == "/stop":
        dispatch(desk, zandor_trader_status="Terminated")
    elif how == "deadline":
        deadline = desk.engine.clock()
    else:  # from another thread while the engine sleeps
        threading.Thread(target=desk.engine.request_stop, args=("Ctrl-C",)).start()
    assert desk.engine.run(deadline) == reason
    assert desk.bot.zandor_trader_status == "Terminated"


def test_requests_left_when_the_stop_comes_are_still_served(desk):
    dispatch(desk, get_balance=True)
    desk.engine.request_stop("Ctrl-C")
    assert desk.engine.run() == "Ctrl-C"
    assert answers(desk)[0].startswith("Balance of CQG")


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


def test_timers_refresh_the_display_and_a_request_is_served_while_running(desk):
    refreshes = threading.Semaphore(0)
    desk.engine.refresh_every = 0.001
    desk.engine.on_refresh = refreshes.release
    runner = threading.Thread(target=desk.engine.run)
    runner.start()
    for _ in range(3):
        assert refreshes.acquire(timeout=10)
    dispatch(desk, get_deals=True)
    eventually(lambda: desk.bot.sent)
    desk.engine.request_stop("done")
    runner.join(10)
    assert not runner.is_alive()
    assert answers(desk) == ["No deals."]


def test_an_order_is_cancelled_by_any_unambiguous_start_of_its_id(desk):
    ids = ["{F3CCA1DE-171C-4F12-B4EA-C08E209DC69C}", "{F3CC0000-0000-4000-8000-000000000001}",
           "{0BADF00D-0000-4000-8000-000000000002}"]
    desk.adapter._ids = iter(ids)
    for _ in ids:
        desk.gateway.send_order(fakes_order())
    for order_id in ids:
        desk.adapter.report(order_id, OrderStatus.SUBMITTED)
    for written, meant in (("F3CCA1DE", ids[0]), ("{f3cc0", ids[1]), ("0badf00d-0000", ids[2]),
                           (ids[0], ids[0])):
        (reply,) = ask(desk, cancel_order=True, cancel_order_id=written, gateway_name="CQG")
        assert reply.startswith(f"Cancel requested for order {meant} "), written
        assert desk.adapter.calls[-1] == ("cancel_order", meant)
    cancels = len(desk.adapter.calls)
    assert ask(desk, cancel_order=True, cancel_order_id="{F3CC}", gateway_name="CQG") == [
        f"Cancel refused: '{{F3CC}}' starts 2 order ids: {ids[0]}, {ids[1]}; give more of the id."]
    assert ask(desk, cancel_order=True, cancel_order_id="{}", gateway_name="CQG") == [
        "Cancel refused: CQG has no order with id '{}'."]
    assert len(desk.adapter.calls) == cancels  # nothing cancelled on a guess


def test_the_sessions_own_answers_take_their_turn_among_the_engines(desk):
    from zandor_trader.trading import Request
    from zandor_trader.chat import SessionCommands

    commands = SessionCommands(lambda text: desk.engine.submit(Request("answer", {"text": text})))
    say = lambda text: commands.on_update(types.SimpleNamespace(
        effective_message=types.SimpleNamespace(text=text, entities=None)))
    dispatch(desk, get_deals=True)
    say("/balanse")
    say("/send_order EPZ5, 2, l, o, m, CQG, None, None")
    say("/SEND_ORDER EPZ5,2,l,o,m,CQG,None,None")  # one word: the bot takes it, nothing added
    say("/orders@zandor_trader_bot 5")
    say("not a command")
    desk.engine.serve_pending()
    assert answers(desk) == [
        "No deals.",
        "Unknown command /balanse: /help lists the commands.",
        "The eight fields of an order are written without spaces: "
        "/send_order EPZ5,2,l,o,m,CQG,None,None"]
    say("/help")
    desk.engine.serve_pending()
    (listing,) = answers(desk)
    lines = listing.splitlines()
    assert lines[0] == "Commands, each with an example:" and len(lines) == 1 + 2 * 21
    assert "/cancel_order <id> <gateway>: cancel an order" in listing
    assert "/buy <symbol> <quantity> [@<price> | stop <price>]: buy at market" in listing
    assert "    e.g. /replace F3CCA1DE 6851.50" in lines
    assert "/chart <symbol> [n]: a picture of the last n one-minute bars" in listing
    assert all(line.startswith("    e.g. /") for line in lines[2::2])


def test_the_sessions_own_actions_run_in_turn_on_the_engine_and_are_answered(desk):
    from zandor_trader.trading import Request

    def failing():
        raise RuntimeError("the simulated component has been shut down\nsecond line")

    ran = []
    dispatch(desk, get_deals=True)
    desk.engine.submit(Request("call", {"action": lambda: ran.append("drill") or "Drill done"}))
    desk.engine.submit(Request("call", {"action": lambda: ran.append("quiet")}))  # says nothing
    desk.engine.submit(Request("call", {"action": failing}))
    dispatch(desk, get_positions=True)
    desk.engine.serve_pending()
    assert answers(desk) == ["No deals.", "Drill done",
                             "call failed: RuntimeError: the simulated component has been shut "
                             "down", "No open positions."]
    assert ran == ["drill", "quiet"]
