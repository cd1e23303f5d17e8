"""Inline keyboards, edits and callback queries, driven by python-telegram-bot's own client."""
import json
import queue

import pytest
from telegram import (Bot, CallbackQuery, InlineKeyboardButton, InlineKeyboardMarkup,
                      ReplyKeyboardRemove)
from telegram.error import BadRequest
from telegram.ext import CallbackQueryHandler, Updater

from botapi import BotApiServer, Button, RemoteServer, Version

from .test_transport import request

TOKEN = "1111:keyboard-test"
CHAT = 5
CONFIRM = InlineKeyboardMarkup([[InlineKeyboardButton("Confirm", callback_data="stop:yes"),
                                 InlineKeyboardButton("Cancel", callback_data="stop:no")]])
CONFIRM_KEYS = ((Button("Confirm", "stop:yes"), Button("Cancel", "stop:no")),)


@pytest.fixture
def server():
    with BotApiServer(token=TOKEN, max_poll_timeout=0.5, control=True) as srv:
        yield srv


@pytest.fixture
def client(server):
    return Bot(TOKEN, base_url=server.base_url)


@pytest.fixture
def remote(server):
    return RemoteServer(server.control_url, token=server.control_token)


def test_a_press_reaches_the_bots_handler_which_answers_and_edits(server, client, remote):
    """The confirmation as the session does it: a question with buttons, a press, the
    answer, and the question edited to say what was chosen."""
    seen = queue.Queue()

    def on_press(update, context):
        query = update.callback_query
        seen.put(query)
        query.answer(text="Stopping")
        query.edit_message_text(f"Stop? {query.data.split(':')[1]}")

    updater = Updater(TOKEN, base_url=server.base_url, use_context=True)
    updater.dispatcher.add_handler(CallbackQueryHandler(on_press, pattern="^stop:"))
    updater.start_polling(timeout=0.5)
    try:
        question = client.send_message(chat_id=CHAT, text="Stop?", reply_markup=CONFIRM)
        assert question.reply_markup == CONFIRM
        shown = remote.message(question.message_id)
        assert (shown.text, shown.keyboard, shown.buttons) == (
            "Stop?", CONFIRM_KEYS, [["Confirm", "Cancel"]])

        query_id = remote.press_button(question.message_id, text="Confirm")
        assert remote.wait_callback_answer(query_id).text == "Stopping"
        edited = remote.wait_edited(question.message_id)
        assert (edited.text, edited.keyboard) == ("Stop? yes", ())
        assert edited.edits == (Version("Stop?", CONFIRM_KEYS),)
        assert [m.text for m in remote.sent()] == ["Stop? yes"]

        query = seen.get(timeout=10)
        assert isinstance(query, CallbackQuery)
        assert (query.id, query.data, query.from_user.id) == (query_id, "stop:yes", CHAT)
        assert query.chat_instance and query.message.message_id == question.message_id
        assert query.message.reply_markup == CONFIRM  # as it was when pressed
    finally:
        updater.stop()
    # The keyboard is gone: nothing left to press.
    with pytest.raises(RuntimeError, match="no inline keyboard"):
        remote.press_button(question.message_id, data="stop:yes")


def test_edits_change_text_and_keyboard_as_telegram_does(server, client):
    message = client.send_message(chat_id=CHAT, text="Close 2 positions?",
                                  reply_markup=CONFIRM)
    mid = message.message_id

    def edit_text(text, **kwargs):
        return client.edit_message_text(text, chat_id=CHAT, message_id=mid, **kwargs)

    with pytest.raises(BadRequest, match="^Message is not modified$"):
        edit_text("Close 2 positions?", reply_markup=CONFIRM)
    # Without a reply_markup the keyboard goes: that is a change.
    edited = edit_text("Close 2 positions?")
    assert edited.reply_markup is None and edited.edit_date is not None
    with pytest.raises(BadRequest, match="^Message is not modified$"):
        edit_text("Close 2 positions?")
    again = client.edit_message_reply_markup(chat_id=CHAT, message_id=mid, reply_markup=CONFIRM)
    assert again.reply_markup == CONFIRM and again.text == "Close 2 positions?"
    with pytest.raises(BadRequest, match="^Message is not modified$"):
        client.edit_message_reply_markup(chat_id=CHAT, message_id=mid, reply_markup=CONFIRM)
    assert client.edit_message_reply_markup(chat_id=CHAT, message_id=mid).reply_markup is None
    edit_text("Closed.")
    with pytest.raises(BadRequest, match="too long"):
        edit_text("x" * 4097)

    kept = server.message(mid)
    assert (kept.text, kept.keyboard, kept.seq) == ("Closed.", (), 1)
    assert [(v.text, v.keyboard) for v in kept.edits] == [
        ("Close 2 positions?", CONFIRM_KEYS), ("Close 2 positions?", ()),
        ("Close 2 positions?", CONFIRM_KEYS), ("Close 2 positions?", ())]
    assert server.sent() == [kept]

    server.post_message("mine", CHAT)  # the operator's message: not the bot's to edit
    operator_message_id = server.pending()[-1]["message"]["message_id"]
    for chat_id, message_id in [(CHAT, 999), (CHAT + 1, mid), (CHAT, operator_message_id)]:
        with pytest.raises(BadRequest, match="^Message to edit not found$"):
            client.edit_message_text("x", chat_id=chat_id, message_id=message_id)
        with pytest.raises(BadRequest, match="^Message to edit not found$"):
            client.edit_message_reply_markup(chat_id=chat_id, message_id=message_id)
    with pytest.raises(TimeoutError):
        server.wait_edited(mid, edits=5, timeout=0.05)
    with pytest.raises(LookupError):
        server.wait_edited(999)


def test_callback_queries_are_answered_once(server, client, remote):
    message = client.send_message(chat_id=CHAT, text="Buy 12 ES?", reply_markup=CONFIRM)
    first = server.press_button(message.message_id, data="stop:no", user_id=77,
                                first_name="Ann")
    second = server.press_button(message.message_id, text="Confirm")
    assert first != second
    presses = [u["callback_query"] for u in server.pending()]
    assert [(p["data"], p["from"]["id"], p["from"]["first_name"]) for p in presses] == [
        ("stop:no", 77, "Ann"), ("stop:yes", CHAT, "Operator")]
    assert presses[0]["chat_instance"] == presses[1]["chat_instance"]

    assert server.callback_answer(first) is None
    with pytest.raises(TimeoutError):
        remote.wait_callback_answer(first, timeout=0.05)
    assert client.answer_callback_query(first, text="Kept", show_alert=True, cache_time=3)
    assert client.answer_callback_query(second)
    answers = remote.callback_answers()
    assert [(a.query_id, a.text, a.show_alert, a.cache_time, a.seq) for a in answers] == [
        (first, "Kept", True, 3, 1), (second, "", False, 0, 2)]
    assert remote.callback_answers(after=1) == answers[1:]
    assert remote.callback_answer(second) == answers[1]
    for query_id in [first, "12345"]:
        with pytest.raises(BadRequest, match="(?i)query is too old"):
            client.answer_callback_query(query_id)
    third = server.press_button(message.message_id, text="Cancel")
    with pytest.raises(BadRequest):
        client.answer_callback_query(third, text="x" * 201)
    with pytest.raises(LookupError):
        server.callback_answer("nope")


def test_presses_that_cannot_be(server, client, remote):
    links = InlineKeyboardMarkup([[InlineKeyboardButton("Docs", url="https://example.org"),
                                   InlineKeyboardButton("More", callback_data="more")]])
    message = client.send_message(chat_id=CHAT, text="See", reply_markup=links)
    plain = client.send_message(chat_id=CHAT, text="No buttons")
    assert message.reply_markup == links
    cases = [
        ({"data": "nothing"}, "no button with callback data 'nothing'; it shows 'Docs', 'More'"),
        ({"text": "Docs"}, "opens a link"),
        ({"text": "docs"}, "no button with text 'docs'"),
    ]
    for kwargs, error in cases:
        with pytest.raises(LookupError, match=error):
            server.press_button(message.message_id, **kwargs)
        with pytest.raises(RuntimeError, match=error):
            remote.press_button(message.message_id, **kwargs)
    with pytest.raises(LookupError, match="no inline keyboard"):
        server.press_button(plain.message_id, text="OK")
    with pytest.raises(LookupError, match="not a kept message"):
        server.press_button(999, text="OK")
    for kwargs in [{}, {"data": "more", "text": "More"}]:
        with pytest.raises(ValueError):
            server.press_button(message.message_id, **kwargs)
    assert server.pending() == []
    assert server.press_button(message.message_id, text="More")


def test_reply_markup_in_any_body_and_what_telegram_refuses(server, client):
    keyboard = {"inline_keyboard": [[{"text": "A", "callback_data": "a"}]]}
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    body = f"chat_id={CHAT}&text=form&reply_markup={json.dumps(keyboard)}".encode()
    status, answer = request(server, "POST", f"/bot{TOKEN}/sendMessage", body,
                             dict(form, **{"Content-Length": str(len(body))}))
    assert status == 200 and answer["result"]["reply_markup"] == keyboard
    body = json.dumps({"chat_id": CHAT, "text": "json", "reply_markup": keyboard}).encode()
    status, answer = request(server, "POST", f"/bot{TOKEN}/sendMessage", body, {
        "Content-Type": "application/json", "Content-Length": str(len(body))})
    assert status == 200 and answer["result"]["reply_markup"] == keyboard
    # Markups that are no inline keyboard are taken, and not kept with the message.
    assert client.send_message(CHAT, "gone", reply_markup=ReplyKeyboardRemove()).reply_markup \
        is None
    for empty in [[], [[]]]:
        assert client.send_message(CHAT, "none", reply_markup=InlineKeyboardMarkup(empty)) \
            .reply_markup is None
    assert [m.keyboard for m in server.sent()] == [((Button("A", "a"),),)] * 2 + [()] * 3

    def button(**fields):
        return {"inline_keyboard": [[dict(text="B", **fields)]]}

    refused = [
        ("{", "can't parse reply keyboard markup"),
        ([1], "can't parse reply keyboard markup"),
        ({"something": 1}, "can't parse reply keyboard markup"),
        ({"inline_keyboard": "rows"}, "array of arrays"),
        ({"inline_keyboard": [["B"]]}, "must be an object"),
        (button(callback_data="x" * 65), "BUTTON_DATA_INVALID"),
        (button(callback_data="é" * 33), "BUTTON_DATA_INVALID"),  # 66 bytes
        (button(callback_data=""), "BUTTON_DATA_INVALID"),
        (button(), "text buttons are unallowed"),
        ({"inline_keyboard": [[{"text": " ", "callback_data": "x"}]]}, "non-empty"),
        (button(url=""), "BUTTON_URL_INVALID"),
        (button(switch_inline_query="q"), "only callback_data and url"),
        (button(callback_data="a", url="https://x.org"), "only callback_data and url"),
        ({"inline_keyboard": [[{"text": "k", "callback_data": "k"}] * 101]}, "too long"),
    ]
    for markup, error in refused:
        value = markup if isinstance(markup, str) else json.dumps(markup)
        with pytest.raises(BadRequest, match="(?i)" + error):
            client._post("sendMessage", {"chat_id": CHAT, "text": "t", "reply_markup": value})
    assert client.send_message(CHAT, "64 bytes", reply_markup=InlineKeyboardMarkup(
        [[InlineKeyboardButton("ok", callback_data="é" * 32)]])).reply_markup
    assert server.sent_count() == 6
