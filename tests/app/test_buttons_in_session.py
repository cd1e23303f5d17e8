"""Buttons in a whole session, pressed through the local server's control interface as the
operator would: an order above confirm_above placed once confirmed, the /stop question lapsed
by a request in between, cancelled, and confirmed, which ends the session; each press
answered, each question edited to say what became of it, its buttons gone."""
import os
import sqlite3

import pytest

from ..waiting import eventually
from .test_session import CHAT, REPLY, assert_ended_cleanly, run_session  # noqa: F401


def question(s, *expected):
    """The bot's message with buttons that the operator's command brought, and its text."""
    *_, text = s.expect(*expected)
    (message,) = s.remote.sent(after=s.seen - 1)[:1]
    assert message.text == text and message.buttons == [["Confirm", "Cancel"]]
    return message


def press(s, message, label):
    query = s.remote.press_button(message.message_id, text=label)
    return s.remote.wait_callback_answer(query, timeout=REPLY).text


def test_questions_are_answered_with_their_buttons_through_the_control_interface(
        run_session, tmp_path):
    s = run_session("--instruments", "EPZ5", "--seed", "3", "--minutes", "5",
                    "--confirm-above", "2").start()
    s.remote.post_message("/buy epz5 3 @6700", CHAT)
    order = question(s, "Place EPZ5.CME LONG 3 LIMIT price=6700.00?")
    assert press(s, order, "Confirm") == "Confirmed."
    (placed,) = s.expect("Order placed: ")
    assert placed.endswith(" EPZ5.CME LONG 3 LIMIT price=6700.00")
    assert s.remote.message(order.message_id).text == order.text + "\nChosen: Confirm"
    with pytest.raises(RuntimeError, match="has no button with text 'Confirm'"):
        s.remote.press_button(order.message_id, text="Confirm")  # answered: buttons gone

    s.remote.post_message("/stop", CHAT)
    lapsing = question(s, "Terminating", "Stop not done yet")
    s.say("/balance", "Balance of CQG account")  # a request in between
    assert press(s, lapsing, "Confirm") == (
        "This question lapsed: another request came in between; send /stop to ask again.")
    assert s.remote.wait_edited(lapsing.message_id, timeout=REPLY).text.endswith(
        "\nLapsed: another request came in between; send /stop to ask again.")

    s.remote.post_message("/stop", CHAT)
    cancelled = question(s, "Terminating", "Stop not done yet")
    assert press(s, cancelled, "Cancel") == "Cancelled."
    assert s.remote.wait_edited(cancelled.message_id, timeout=REPLY).text.endswith(
        "\nChosen: Cancel")
    s.say("/positions", "No open positions")  # the session goes on

    s.remote.post_message("/stop", CHAT)
    confirmed = question(s, "Terminating", "Stop not done yet")
    assert press(s, confirmed, "Confirm") == "Confirmed."
    (summary,) = s.expect("Zandor-Trader terminated (/stop from the operator).")
    assert "Working orders: 1" in summary
    assert_ended_cleanly(s, "/stop from the operator")
    out = "\n".join(s.out)
    assert "operator> [Confirm]" in out and "     [ Confirm ] [ Cancel ]" in out
    db = sqlite3.connect(tmp_path / "zandor-trader-100101.sqlite")
    try:
        pressed = db.execute("SELECT text FROM requests WHERE kind = 'press'").fetchall()
    finally:
        db.close()
    assert [t for (t,) in pressed] == ["[Confirm] pressed", "[Confirm] pressed",
                                       "[Cancel] pressed", "[Confirm] pressed"]


@pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")
def test_on_the_display_the_keyboard_chooses_a_button_and_presses_it(tmp_path):
    from .terminal_session import TerminalSession

    s = TerminalSession("--instruments", "EPZ5", "--seed", "3", "--speed", "20", "--minutes",
                        "5", cwd=tmp_path, width=120, height=40)
    try:
        s.wait_started()
        s.type("/buy EPZ5 1 @6700\r")
        eventually(lambda: any(m.startswith("Order placed") for m in s.bot_messages()), 30)
        s.type("/stop\r")
        s.wait_output("[ Confirm ] [ Cancel ]  (Left/Right choose, Enter presses)", 30)
        s.type("\x1b[C")  # Right: Confirm
        s.wait_output("[>Confirm<] [ Cancel ]", 30)
        s.type("\r")  # Enter on the empty line presses it: the session ends
        assert s.finish() == 0
    finally:
        s.kill()
    after = s.after_display()
    assert "operator> [Confirm]" in after and "Chosen: Confirm" in after
    assert "bot> Zandor-Trader terminated (/stop from the operator)." in after


@pytest.mark.skipif(os.name != "posix", reason="reads a pipe with select")
def test_a_line_holding_a_buttons_text_presses_it_and_any_other_line_is_posted(monkeypatch):
    import sys
    import types

    from botapi import BotApiServer
    from zandor_trader.app.terminal import start_keyboard
    from zandor_trader.chat import ChatLog

    with BotApiServer(token="3333:keys") as server:
        question = server.call(server.token, "sendMessage", {
            "chat_id": CHAT, "text": "Stop?", "reply_markup": {"inline_keyboard": [[
                {"text": "Confirm", "callback_data": "k.1:confirm"},
                {"text": "Cancel", "callback_data": "k.1:cancel"}]]}})
        sent = [types.SimpleNamespace(text="Stop?", message_id=question["message_id"],
                                      buttons=(("Confirm", "Cancel"),))]
        chat = ChatLog(lambda seen: (sent[seen:], len(sent)))
        chat.sync()
        session = types.SimpleNamespace(server=server, chat=chat, buttons=None, scroll=None,
                                        order_filter=None, typed=lambda: None)
        read, write = os.pipe()
        with os.fdopen(read) as typed:
            monkeypatch.setattr(sys, "stdin", typed)
            keyboard = start_keyboard(session, CHAT, server.token, keys=False)
            os.write(write, b"cancel\n/balance\n")
            os.close(write)  # the end of input ends the reader
            keyboard._thread.join(10)
            keyboard.stop()
        press, message = server.pending()
        assert press["callback_query"]["data"] == "k.1:cancel"
        assert message["message"]["text"] == "/balance"
