"""The text signatures of the bot's handlers and TelegramBot's methods (what inspect, help()
and the stub check see) name the parameters that they bind; the doc texts stay as they were."""
from tests.arguments import binding_disagreement

HANDLERS = ["stop", "balance", "positions", "orders", "deals", "cancel_order", "cancel_orders",
            "send_order", "close_positions", "echo", "help", "_operator_chat_only"]
METHODS = ["close", "get_updates", "get_chat_id", "send_message", "send_paced",
           "pace_sends"]


def test_signatures_name_the_bound_parameters(botmod):
    wrong = {name: binding_disagreement(getattr(botmod, name)) for name in HANDLERS}
    wrong.update({name: binding_disagreement(getattr(botmod.TelegramBot, name), botmod.bot)
                  for name in METHODS})
    assert {name: what for name, what in wrong.items() if what} == {}


def test_signatures_and_docs(botmod):
    import inspect

    assert str(inspect.signature(botmod.orders)) == "(update, context)"
    assert botmod.orders.__doc__.startswith("/orders [parameters]: Fetch orders\n")
    assert botmod.stop.__doc__ == "/stop [no parameters]: Stop the engine"
    # The default is the operator's chat read when the module loaded.
    send = inspect.signature(botmod.TelegramBot.send_message)
    assert send.parameters["chat_id"].default == botmod.TELEGRAM_CHAT_ID
    assert botmod.TelegramBot.close.__doc__.startswith("Stop polling")
