"""The operator's commands end to end: argument rules, field writes and replies."""
import pytest

from .conftest import INITIAL, OPERATOR, STALE, STRANGER, fields

ORDERS_USAGE = ('/orders [parameters]: Fetch orders\n'
                '- filter:str (optional) if "-a", only return alive orders\n'
                '- n:int (optional) number of displayed records')
DEALS_USAGE = "/deals [parameters]: fetch done deals\n- n:int (optional) number of displayed records"
CANCEL_ORDER_USAGE = ("/cancel_order [parameters]: cancel an active order\n"
                      "- order_id: str, the id of the order\n"
                      "- gateway_name: str, the name of the gateway")
SEND_ORDER_USAGE = (
    "/send_order [parameters] send an order with string instruction:\n"
    "- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n"
    "                order_type(m/l/s), gateway_name, price(None),\n"
    "                stop_price(None)")
CLOSE_POSITIONS_USAGE = "/close_positions [parameters]:\n- gateway_name: str, the name of the gateway"
HELP = ('\n    <Zandor-Trader TelegramBot> Available commands:"\n    1. /stop\n    2. /balance\n'
        '    3. /positions\n    4. /orders\n    5. /deals\n    6. /cancel_order\n'
        '    7. /cancel_orders\n    8. /send_order\n    9. /close_positions\n    10. /help\n    ')


def assert_written(bot, **written):
    """The fields differ from their initial values exactly by `written`."""
    assert fields(bot) == {**INITIAL, **written}


@pytest.mark.parametrize("text, reply, written", [
    ("/stop", "[T] Terminating Zandor-Trader...", {"zandor_trader_status": "Terminated"}),
    ("/stop now", "[T] Terminating Zandor-Trader...", {"zandor_trader_status": "Terminated"}),
    ("/balance", "[T] Fetching balance...", {"get_balance": True}),
    ("/positions all of them", "[T] Fetching positions...", {"get_positions": True}),
    ("/cancel_orders", "[T] Canceling all active orders...", {"cancel_orders": True}),
    ("/balance@zandor_trader_bot", "[T] Fetching balance...", {"get_balance": True}),
    ("/balance.", "[T] Fetching balance...", {"get_balance": True}),  # the command ends at "."
])
def test_commands_without_arguments(bot, chat, text, reply, written):
    assert chat.texts(text) == [reply]
    assert_written(bot, **written)


def orders_replies(args, active, count):
    return [f"[T] {args.split()!r}...",
            f"[T] Fetching orders (active_orders={active}, num_orders_displayed={count})..."]


@pytest.mark.parametrize("args, written", [
    ("", {}),
    ("-a", {"active_orders": True}),
    ("5", {"num_orders_displayed": 5}),
    ("-a 5", {"active_orders": True, "num_orders_displayed": 5}),
    ("5 -a", {"active_orders": True, "num_orders_displayed": 5}),
    ("+7", {"num_orders_displayed": 7}),
    ("-3", {"num_orders_displayed": -3}),
    ("0 -a", {"active_orders": True, "num_orders_displayed": 0}),
    ("98765432109876543210", {"num_orders_displayed": 98765432109876543210}),
])
def test_orders_accepted(bot, chat, args, written):
    shown = {**INITIAL, **written}
    assert chat.texts(f"/orders {args}") == orders_replies(
        args, shown["active_orders"], shown["num_orders_displayed"])
    assert_written(bot, get_orders=True, **written)


@pytest.mark.parametrize("args", ["5 6", "x", "-a x", "x -a", "1 2 3", "-a -a", "5.0", "1_000",
                                  "\u0663", "- 5", "-"])
def test_orders_malformed_answer_usage_and_write_nothing(bot, chat, args):
    assert chat.texts(f"/orders {args}") == [f"[T] {args.split()!r}...", ORDERS_USAGE]
    assert_written(bot)


def test_orders_summary_shows_what_earlier_commands_and_the_engine_left(bot, chat):
    chat.texts("/orders -a")
    bot.get_orders = False  # the engine served the request
    assert chat.texts("/orders 5") == orders_replies("5", True, 5)  # the filter stays raised
    bot.active_orders, bot.num_orders_displayed = False, 9
    assert chat.texts("/orders") == orders_replies("", False, 9)
    assert_written(bot, get_orders=True, num_orders_displayed=9)


@pytest.mark.parametrize("args, count", [("", 1), ("0", 0), ("-3", -3), ("12", 12)])
def test_deals_accepted(bot, chat, args, count):
    assert chat.texts(f"/deals {args}") == [f"[T] Fetching deals (num_deals_displayed={count})..."]
    assert_written(bot, get_deals=True, num_deals_displayed=count)


@pytest.mark.parametrize("args", ["x", "1 2", "-a"])
def test_deals_malformed(bot, chat, args):
    assert chat.texts(f"/deals {args}") == [DEALS_USAGE]
    assert_written(bot)


def test_deals_shows_the_count_the_engine_left(bot, chat):
    bot.num_deals_displayed = 25
    assert chat.texts("/deals") == ["[T] Fetching deals (num_deals_displayed=25)..."]


def test_cancel_order(bot, chat):
    assert chat.texts("/cancel_order 123 GW") == [
        "[T] Canceling order: order_id=123,gateway_name=GW..."]
    assert_written(bot, cancel_order=True, cancel_order_id="123", gateway_name="GW")


@pytest.mark.parametrize("args", ["", "123", "1 GW extra"])
def test_cancel_order_needs_exactly_two_arguments(bot, chat, args):
    assert chat.texts(f"/cancel_order {args}") == [CANCEL_ORDER_USAGE]
    assert_written(bot)


@pytest.mark.parametrize("order", ["ES,1,l,o,m,GW,None,None", "ES,1,s,c,l,GW,4100.25,",
                                   ",,,,,,,"])
def test_send_order_with_eight_fields(bot, chat, order):
    assert chat.texts(f"/send_order {order}") == [f"[T] Send order (['{order}'])..."]
    assert_written(bot, send_order=True, order_string=order)


@pytest.mark.parametrize("args", ["ES,1,l,o,m,GW,None", "ES,1,l,o,m,GW,None,None,x",
                                  "ES, 1,l,o,m,GW,None,None", ""])
def test_send_order_refuses_other_field_counts(bot, chat, args):
    assert chat.texts(f"/send_order {args}") == [SEND_ORDER_USAGE]
    assert_written(bot)


def test_close_positions_keeps_an_earlier_gateway_name(bot, chat):
    assert chat.texts("/close_positions G1") == ["[T] Closing positions..."]
    assert_written(bot, close_positions=True, close_positions_gateway_name="G1")
    bot.close_positions = False
    assert chat.texts("/close_positions") == ["[T] Closing positions..."]
    assert_written(bot, close_positions=True, close_positions_gateway_name="G1")
    assert chat.texts("/close_positions G1 G2") == [CLOSE_POSITIONS_USAGE]


def test_plain_text_is_echoed_and_other_commands_get_no_answer(bot, chat):
    assert chat.texts("hello there") == ["[ECHO] hello there"]
    assert chat.texts("hello /stop") == ["[ECHO] hello /stop"]  # a command, but not first
    assert chat.texts("/unknown") == []
    assert chat.texts("/balance@some_other_bot") == []
    assert_written(bot)


def test_help_answers_with_the_help_text(bot, chat, botmod):
    assert chat.texts("/help") == [HELP]
    assert botmod.TelegramBot.__doc__ == HELP


def test_other_chats_are_refused_with_one_printed_line_each(bot, chat, capsys):
    texts = ["/stop", "/send_order ES,1,l,o,m,GW,None,None", "hello", "/help", "/unknown"]
    for text in texts:
        assert chat.say(text, chat_id=STRANGER) == []
    assert_written(bot)
    refused = f"Refused an update from chat {STRANGER}: not the operator's chat"
    assert capsys.readouterr().out.splitlines() == [refused] * len(texts)


def test_updates_sent_while_the_bot_was_down_are_dropped(botmod, server):
    assert server.dropped() == len(STALE)


def test_long_echo_is_split_at_a_line_break(bot, chat):
    # Within Telegram's limit as sent, over it once echoed.
    lines = [f"{i:03d} " + "x" * 46 for i in range(80)] + ["the last line"]
    text = "\n".join(lines)
    assert len(text) <= 4096 < len("[ECHO] " + text)
    assert chat.texts(text) == ["[ECHO] " + "\n".join(lines[:-1]), lines[-1]]


def test_an_edited_command_is_not_run_again(bot, chat, server, capsys):
    update_id = server.post_message("/balance", OPERATOR)
    assert chat.texts("hello") == ["[T] Fetching balance...", "[ECHO] hello"]
    assert bot.get_balance is True
    bot.get_balance = False  # the engine served it
    capsys.readouterr()
    server.edit_message(update_id, "/stop")
    assert chat.texts("after the edit") == ["[ECHO] after the edit"]  # nothing for the edit
    assert_written(bot)
    assert capsys.readouterr().out.splitlines() == [
        "Ignored an update that is not a new message (an edit, for example)"]
