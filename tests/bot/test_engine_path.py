"""The operator's commands through the real bot to the engine: taken on the dispatch thread,
each served once and in the order sent, also while the engine is stuck in a slow call."""
import threading
import time
import types

import pytest
from telegram import Update
from telegram.ext import TypeHandler

from tests.trading import fakes
from tests.waiting import eventually
from zandor_trader.chat import Outbox, RequestIntake
from zandor_trader.trading import Engine, pretrade

from .conftest import OPERATOR


@pytest.fixture
def desk(bot, server):
    """The module's bot serving a gateway whose adapter answers at once, unless held."""
    gateway = fakes.gateway_with_adapter()
    outbox = Outbox(bot.send_message).start()
    # Limits wide enough for the burst's fifty orders, which the fake adapter leaves working.
    engine = Engine(bot, gateway, outbox=outbox,
                    limits=pretrade.Limits(max_order_quantity=100, max_position=10_000))
    gateway.add_listener(engine.on_gateway_record)
    intake = RequestIntake(bot, engine.submit)
    taken = {}  # request kind -> when the intake took it

    def dispatched(update, context):
        for request in intake.on_dispatched(update, context):
            taken.setdefault(request.kind, time.monotonic())

    handler = TypeHandler(Update, dispatched)
    dispatcher = bot.updater.dispatcher
    dispatcher.add_handler(handler, group=1)
    runner = threading.Thread(target=engine.run, name="engine")
    runner.start()
    try:
        yield types.SimpleNamespace(gateway=gateway, adapter=gateway.adapter, outbox=outbox,
                                    taken=taken)
    finally:
        server.set_send_delay(0)
        engine.request_stop("test over")
        runner.join(10)
        outbox.close(0)
        dispatcher.remove_handler(handler, group=1)
    assert not runner.is_alive()


@pytest.mark.timeout(60)
def test_a_burst_while_the_engine_is_stuck_in_a_slow_call_is_served_in_order(desk, server):
    adapter = desk.adapter
    entered, release = threading.Event(), threading.Event()

    def slow(*args):  # the first balance fetch hangs until the burst is in
        if not release.is_set():
            entered.set()
            assert release.wait(20)

    adapter.hooks["update_account_balance"] = slow
    server.post_message("/balance", OPERATOR)
    assert entered.wait(10)

    burst, expected = [], []
    for n in range(1, 51):
        if n % 4 == 1:
            burst.append(f"/send_order EPZ5,{n},{'l' if n % 8 == 1 else 's'},o,m,CQG,None,None")
            expected.append(("place_order", n))
        elif n % 4 == 2:
            target = f"{{ORDER-{(n + 2) // 4}}}"  # the order placed just before
            burst.append(f"/cancel_order {target} CQG")
            expected.append(("cancel_order", target))
        elif n % 4 == 3:
            burst.append(f"/deals {n}")  # answered from the trade log: no adapter call
        else:
            burst.append("/cancel_orders")  # every order is still working: cancels them all
            expected.extend(("cancel_order", f"{{ORDER-{k}}}") for k in range(1, n // 4 + 1))
    start = len(server.sent())
    for text in burst:
        server.post_message(text, OPERATOR)
    # The bot acknowledged every command while the engine was stuck.
    assert server.wait_for(
        lambda: sum(m.text.startswith("[") for m in server.sent()[start:]) == len(burst), 20)
    release.set()

    def orders_and_cancels():
        return [(c[0], c[1].quantity) if c[0] == "place_order" else c
                for c in adapter.calls if c[0] in ("place_order", "cancel_order")]

    eventually(lambda: len(orders_and_cancels()) >= len(expected), 20)
    assert orders_and_cancels() == expected
    answered = lambda: [m.text for m in server.sent()[start:] if m.text.startswith("No deals")]
    eventually(lambda: len(answered()) == len(burst) // 4, 20)


@pytest.mark.timeout(60)
def test_a_slow_chat_does_not_hold_up_a_cancel(desk, server):
    """Every sendMessage takes 2 s and five fill notices wait to go out: they queue up in the
    outbox while the engine goes on serving, so /cancel_orders reaches the adapter as soon as
    its update is handled (the bot's own acknowledgement, sent by its handler, still takes its
    2 s first)."""
    filled = [desk.gateway.send_order(fakes_order()) for _ in range(5)]
    working = desk.gateway.send_order(fakes_order())
    cancelled = {}
    desk.adapter.hooks["cancel_order"] = lambda oid: cancelled.setdefault(oid, time.monotonic())
    server.set_send_delay(2.0)
    for n, order_id in enumerate(filled):
        desk.adapter.fill(order_id, 1, 6850.0, f"D{n}")
    eventually(lambda: desk.outbox.pending() == 5)  # the engine has queued the notices
    server.post_message("/cancel_orders", OPERATOR)
    eventually(lambda: working in cancelled, 30)
    assert cancelled[working] - desk.taken["cancel_orders"] < 0.1
    assert desk.outbox.sent <= 2  # most fill notices were still on their way
    server.set_send_delay(0)
    assert desk.outbox.flush(30)


def fakes_order():
    from zandor_trader.core.constants import Direction, OrderType
    from zandor_trader.core.order import Order
    return Order(security=fakes.ES, price=None, quantity=1, direction=Direction.LONG,
                 order_type=OrderType.MARKET)
