"""Questions with buttons against the local Bot API server, through python-telegram-bot's own
client: the question sent paced with its keyboard (the last piece of a long one), presses
taken from the operator's chat only, each answered, the question edited to say what was
chosen, and the conversation showing it all."""
import types

import pytest
from telegram import Bot, Update
from telegram.ext import DispatcherHandlerStop

from botapi import BotApiServer
from zandor_trader.chat import ChatLog, Outbox, SentLog
from zandor_trader.chat.buttons import ButtonOutlet
from zandor_trader.chat.presses import Presses
from zandor_trader.trading.questions import Questions

TOKEN = "2222:buttons-test"
CHAT = 5


@pytest.fixture
def chat():
    with BotApiServer(token=TOKEN, max_poll_timeout=0.5) as server:
        client = Bot(TOKEN, base_url=server.base_url)
        paced = []
        bot = types.SimpleNamespace(updater=types.SimpleNamespace(bot=client),
                                    send_paced=lambda send, chat_id: (paced.append(chat_id),
                                                                      send())[1])
        sent_log = SentLog(CHAT).attach(bot)
        lines = []
        log = ChatLog(sent_log.sent_after, on_new=lambda who, text: lines.append((who, text)))
        notices, taken, done = [], [], []
        outbox = Outbox(lambda text: client.send_message(CHAT, text), log=notices.append,
                        on_sent=lambda text: log.sync()).start()
        questions = Questions(outbox.put, lambda: 0.0, ButtonOutlet(
            outbox, bot, CHAT, lambda text: text.replace("SECRET", "***"), notices.append))
        presses = Presses(CHAT, taken.append, notices.append, pressed=log.operator_pressed)
        yield types.SimpleNamespace(server=server, client=client, paced=paced, log=log,
                                    lines=lines, notices=notices, taken=taken, done=done,
                                    outbox=outbox, questions=questions, presses=presses)
        outbox.close(0)
        sent_log.detach()


def dispatched(c):
    """The pending updates through the press handler, as the dispatcher runs it first; the
    requests it took are served as the engine would."""
    for update in c.client.get_updates(timeout=0):
        c.client.get_updates(offset=update.update_id + 1, timeout=0)  # confirmed
        with pytest.raises(DispatcherHandlerStop):
            c.presses.on_update(update)
    for request in c.taken:
        c.questions.press(**request.params)
    c.taken.clear()
    assert c.outbox.flush(10)


def test_a_question_pressed_twice_is_done_once_and_edited_to_say_what_was_chosen(chat):
    c = chat
    question = c.questions.ask("stop", "Stop? SECRET", lambda: c.done.append("stop"),
                               "send /stop to ask again")
    assert c.outbox.flush(10)
    (message,) = c.server.sent()
    assert message.text == "Stop? ***" and message.buttons == [["Confirm", "Cancel"]]
    assert message.keyboard[0][0].callback_data == f"{question.key}:confirm"
    assert c.paced == [CHAT]
    shown = c.log.entries()[-1][1]
    assert shown.buttons == (("Confirm", "Cancel"),)
    assert c.log.pressable() == (message.message_id, (("Confirm", "Cancel"),))

    first = c.server.press_button(message.message_id, text="Confirm")
    second = c.server.press_button(message.message_id, text="Confirm")  # before the edit
    dispatched(c)
    assert c.done == ["stop"]
    assert [c.server.callback_answer(q).text for q in (first, second)] == [
        "Confirmed.", "Answered already: Confirm."]
    edited = c.server.message(message.message_id)
    assert edited.text == "Stop? ***\nChosen: Confirm" and edited.buttons == []
    assert c.paced == [CHAT, CHAT]  # the edit is paced too; the answers are no messages
    assert c.log.pressable() is None
    assert [(who, str(text)) for who, text in c.log.entries()] == [
        ("bot", "Stop? ***\nChosen: Confirm"), ("operator", "[Confirm]"),
        ("operator", "[Confirm]")]
    assert c.lines[-1] == ("bot", "(edited) Stop? ***\nChosen: Confirm")


def test_a_press_from_another_chat_does_nothing_but_print_one_line(chat):
    c = chat
    c.questions.ask("flatten", "Flatten?", lambda: c.done.append("flatten"), "again")
    assert c.outbox.flush(10)
    (message,) = c.server.sent()
    press = Update.de_json({"update_id": 1, "callback_query": {
        "id": "77", "from": {"id": 99, "is_bot": False, "first_name": "Other"},
        "chat_instance": "x", "data": message.keyboard[0][0].callback_data,
        "message": {"message_id": message.message_id, "date": 0,
                    "chat": {"id": 99, "type": "private"}, "text": "Flatten?"}}}, c.client)
    with pytest.raises(DispatcherHandlerStop):
        c.presses.on_update(press)
    assert c.notices == ["Refused a button press from chat 99: not the operator's chat"]
    assert c.taken == [] and c.done == []
    assert c.presses.on_update(Update.de_json({"update_id": 2, "message": {
        "message_id": 9, "date": 0, "chat": {"id": CHAT, "type": "private"},
        "text": "/balance"}}, c.client)) is None  # a message goes on to the bot


def test_a_long_question_keeps_its_buttons_under_its_last_piece(chat):
    c = chat
    text = "\n".join(f"order {n:04d} " + "x" * 60 for n in range(100))
    c.questions.ask("stop", text, lambda: None, "again")
    assert c.outbox.flush(10)
    first, last = c.server.sent()
    assert first.buttons == [] and last.buttons == [["Confirm", "Cancel"]]
    assert (first.text + "\n" + last.text) == text


def test_a_refused_answer_is_one_line_and_the_replies_behind_it_still_go(chat):
    c = chat
    question = c.questions.ask("order", "Place?", lambda: None, "again")
    assert c.outbox.flush(10)
    (message,) = c.server.sent()
    pressed = c.server.press_button(message.message_id, text="Cancel")
    dispatched(c)
    c.questions.press(question.key, "cancel", pressed)  # the same query answered again
    c.outbox.put("next reply")
    assert c.outbox.flush(10)
    assert c.server.sent()[-1].text == "next reply"
    assert c.notices[-1].startswith("Answering a button pressed refused: ")
