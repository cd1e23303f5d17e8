"""Operator messages with unusual content, and the bot's own operations called with bad
arguments. Each gets its usage text or error; a refused request writes nothing."""
import types

import pytest

from .conftest import INITIAL, fields
from .test_commands import (CANCEL_ORDER_USAGE, CLOSE_POSITIONS_USAGE, DEALS_USAGE, ORDERS_USAGE,
                            SEND_ORDER_USAGE)

LONG = "x" * 5000
EIGHT_LONG = ",".join(["y" * 600] * 8)
MANY = " ".join(["1"] * 1000)


def ack(args):
    return f"[T] {args!r}..."


# (message, what the operator reads back, fields written). Replies longer than one Telegram
# message arrive in pieces; they are compared joined again.
MESSAGES = [
    # Quotes are not grouping: a quoted id with a blank is two words.
    ('/cancel_order "abc def" GW', [CANCEL_ORDER_USAGE], {}),
    ("/cancel_order 'A1' 'GW'", ["[T] Canceling order: order_id='A1',gateway_name='GW'..."],
     {"cancel_order": True, "cancel_order_id": "'A1'", "gateway_name": "'GW'"}),
    ("/cancel_order 123\nGW", ["[T] Canceling order: order_id=123,gateway_name=GW..."],
     {"cancel_order": True, "cancel_order_id": "123", "gateway_name": "GW"}),
    ("/cancel_order Ⓐ１２３ Шлюз😀", ["[T] Canceling order: order_id=Ⓐ１２３,gateway_name=Шлюз😀..."],
     {"cancel_order": True, "cancel_order_id": "Ⓐ１２３", "gateway_name": "Шлюз😀"}),
    (f"/cancel_order {LONG} GW", [f"[T] Canceling order: order_id={LONG},gateway_name=GW..."],
     {"cancel_order": True, "cancel_order_id": LONG, "gateway_name": "GW"}),
    ("/orders -a\n5", [ack(["-a", "5"]), "[T] Fetching orders (active_orders=True, "
                                        "num_orders_displayed=5)..."],
     {"active_orders": True, "num_orders_displayed": 5, "get_orders": True}),
    ('/orders "5"', [ack(['"5"']), ORDERS_USAGE], {}),
    ("/orders '5' -a", [ack(["'5'", "-a"]), ORDERS_USAGE], {}),
    ("/orders -A", [ack(["-A"]), ORDERS_USAGE], {}),
    ("/orders 5\x00", [ack(["5\x00"]), ORDERS_USAGE], {}),
    ("/orders 😀", [ack(["😀"]), ORDERS_USAGE], {}),
    (f"/orders {MANY}", [ack(MANY.split()), ORDERS_USAGE], {}),
    (f"/deals {'9' * 5000}", [DEALS_USAGE], {}),  # more digits than an integer may be read from
    (f"/deals {MANY}", [DEALS_USAGE], {}),
    ("/send_order ES,1,l,o,m,GW,\"4100\",None",
     ["[T] Send order (['ES,1,l,o,m,GW,\"4100\",None'])..."],
     {"send_order": True, "order_string": 'ES,1,l,o,m,GW,"4100",None'}),
    ("/send_order ES,1,l,o,m,GW,None,None\n/stop", [SEND_ORDER_USAGE], {}),
    ("/send_order 'ES,1,l,o,m,GW,None,None'", ["[T] Send order ([\"'ES,1,l,o,m,GW,None,None'\"])..."],
     {"send_order": True, "order_string": "'ES,1,l,o,m,GW,None,None'"}),
    (f"/send_order {EIGHT_LONG}", [f"[T] Send order ({[EIGHT_LONG]!r})..."],
     {"send_order": True, "order_string": EIGHT_LONG}),
    ("/send_order ,,,,,,,,", [SEND_ORDER_USAGE], {}),
    # One message is one command: a second line naming another command is an argument.
    ("/balance\n/stop", ["[T] Fetching balance..."], {"get_balance": True}),
    ("/cancel_orders x y z", ["[T] Canceling all active orders..."], {"cancel_orders": True}),
    ("/close_positions GW\x07bell", ["[T] Closing positions..."],
     {"close_positions": True, "close_positions_gateway_name": "GW\x07bell"}),
    (f"/close_positions {LONG}", ["[T] Closing positions..."],
     {"close_positions": True, "close_positions_gateway_name": LONG}),
    ("/close_positions a b c", [CLOSE_POSITIONS_USAGE], {}),
    ("'quoted' \"text\"\nand a second line\t😀", ["[ECHO] 'quoted' \"text\"\nand a second line\t😀"],
     {}),
]


@pytest.mark.parametrize("text, replies, written", MESSAGES,
                         ids=[repr(m[0][:30]) for m in MESSAGES])
def test_unusual_messages(bot, chat, text, replies, written):
    got = chat.texts(text)
    if len(got) != len(replies):  # a long reply came in pieces
        assert "".join(got) == "".join(replies) and len(got) > len(replies)
    else:
        assert got == replies
    assert fields(bot) == {**INITIAL, **written}


HANDLERS = ["stop", "balance", "positions", "orders", "deals", "cancel_order", "cancel_orders",
            "send_order", "close_positions", "echo"]


@pytest.mark.parametrize("name", HANDLERS)
def test_handlers_called_with_what_is_not_an_update_fail_and_write_nothing(bot, botmod, name):
    handler = getattr(botmod, name)
    context = types.SimpleNamespace(bot=bot.updater.bot, args=["1", "2"])
    for update, error in [(None, AttributeError),
                          (types.SimpleNamespace(effective_chat=None, message=None), AttributeError)]:
        with pytest.raises(error):
            handler(update, context)
    for args, kwargs in [((), {}), ((None,), {}), ((None, None, None), {}),
                         ((None,), {"context": None, "extra": 1})]:
        with pytest.raises(TypeError):
            handler(*args, **kwargs)
    assert fields(bot) == INITIAL


@pytest.mark.parametrize("call, message", [
    (lambda b: b.close(1), "close() takes exactly 0 positional arguments (1 given)"),
    (lambda b: b.get_updates(None), "get_updates() takes exactly 0 positional arguments (1 given)"),
    (lambda b: b.get_chat_id(x=1), "get_chat_id() got an unexpected keyword argument 'x'"),
    (lambda b: b.send_message("a", 1, 2), "send_message() takes at most 2 positional arguments (3 given)"),
    (lambda b: b.send_message("a", msg="b"), "send_message() got multiple values for keyword argument 'msg'"),
    (lambda b: b.send_message(chat_id=1), "send_message() takes at least 1 positional argument (0 given)"),
])
def test_the_engines_operations_check_their_arguments(bot, server, call, message):
    sent = len(server.sent())
    with pytest.raises(TypeError) as err:
        call(bot)
    assert str(err.value) == message
    assert len(server.sent()) == sent and fields(bot) == INITIAL


@pytest.mark.parametrize("chat_id, error", [
    (float("inf"), OverflowError), (float("nan"), ValueError), (1j, TypeError), (b"1", TypeError),
])
def test_a_chat_id_without_an_integer_value_sends_nothing(bot, server, chat_id, error):
    sent = len(server.sent())
    with pytest.raises(error):
        bot.send_message("hello", chat_id=chat_id)
    assert len(server.sent()) == sent
