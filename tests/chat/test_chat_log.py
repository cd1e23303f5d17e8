"""The conversation as the session shows it."""
import types

from zandor_trader.chat import ChatLog


def test_chat_log_orders_operator_messages_and_bot_replies():
    sent, seen = [], []
    chat = ChatLog(lambda seen: (sent[seen:], len(sent)), on_new=lambda who, text: seen.append((who, text)))
    message = lambda text: types.SimpleNamespace(message=types.SimpleNamespace(text=text))
    chat.operator_update(message("/balance"))
    sent.append(types.SimpleNamespace(text="Fetching balance..."))
    # The reply came before the next message: it is shown first, though nobody synced.
    chat.operator_update(message("/positions"))
    sent.append(types.SimpleNamespace(text="No open positions."))
    chat.sync()
    chat.sync()
    chat.operator_update(types.SimpleNamespace(message=None))  # not a text: nothing
    expected = [("operator", "/balance"), ("bot", "Fetching balance..."),
                ("operator", "/positions"), ("bot", "No open positions.")]
    assert chat.entries() == expected and seen == expected
    assert chat.entries(1) == expected[-1:]


def test_an_edited_message_is_not_shown_as_sent():
    """The bot ignores edits (editing an old /send_order must not send it again): the
    conversation does not show them as new messages either."""
    chat = ChatLog(lambda seen: ([], 0))
    edit = types.SimpleNamespace(text="/send_order EPZ5,9,l,o,m,CQG,None,None")
    chat.operator_update(types.SimpleNamespace(message=None, edited_message=edit,
                                               effective_message=edit))
    assert chat.entries() == []
