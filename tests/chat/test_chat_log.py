"""The conversation as the session shows it."""
import types

from zandor_trader.chat import ChatLog


def test_chat_log_orders_operator_messages_and_bot_replies():
    sent, seen = [], []
    chat = ChatLog(lambda seen: (sent[seen:], len(sent)), on_new=lambda who, text: seen.append((who, text)))
    message = lambda text: types.SimpleNamespace(effective_message=types.SimpleNamespace(text=text))
    chat.operator_update(message("/balance"))
    sent.append(types.SimpleNamespace(text="Fetching balance..."))
    # The reply came before the next message: it is shown first, though nobody synced.
    chat.operator_update(message("/positions"))
    sent.append(types.SimpleNamespace(text="No open positions."))
    chat.sync()
    chat.sync()
    chat.operator_update(types.SimpleNamespace(effective_message=None))  # not a text: nothing
    expected = [("operator", "/balance"), ("bot", "Fetching balance..."),
                ("operator", "/positions"), ("bot", "No open positions.")]
    assert chat.entries() == expected and seen == expected
    assert chat.entries(1) == expected[-1:]
