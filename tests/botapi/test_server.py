"""The local Bot API server, driven by python-telegram-bot's own client."""
import os
import signal
import subprocess
import sys
import threading

import pytest
from telegram import Bot
from telegram.error import BadRequest, InvalidToken, Unauthorized

from botapi import MAX_MESSAGE_LENGTH, BotApiServer, RemoteServer

TOKEN = "1111:server-test"


@pytest.fixture
def server():
    with BotApiServer(token=TOKEN, max_poll_timeout=60) as srv:
        yield srv


@pytest.fixture
def client(server):
    return Bot(TOKEN, base_url=server.base_url)


def in_thread(fn):
    """Runs fn on a thread; returns a function that joins it (bounded) and gives the result."""
    result = {}
    thread = threading.Thread(target=lambda: result.update(value=fn()))
    thread.start()

    def join(timeout=10):
        thread.join(timeout)
        assert not thread.is_alive(), "call did not return"
        return result["value"]

    return join


def test_get_me_and_token_errors(server, client):
    me = client.get_me()
    assert (me.id, me.username, me.is_bot) == (1111, "zandor_trader_bot", True)
    with pytest.raises(InvalidToken):  # Telegram answers an unknown method with 404
        client._post("noSuchMethod")
    server.revoke()
    with pytest.raises(Unauthorized):
        client.get_me()


def test_get_updates_confirms_by_offset_and_honours_limit(server, client):
    ids = [server.post_message(f"m{i}", 5) for i in range(4)]
    assert [u.update_id for u in client.get_updates(limit=2)] == ids[:2]
    assert [u.update_id for u in client.get_updates()] == ids  # nothing confirmed yet
    assert [u.update_id for u in client.get_updates(offset=ids[2])] == ids[2:]
    assert [u.message.text for u in client.get_updates(offset=-1)] == ["m3"]
    assert [u.update_id for u in client.get_updates()] == ids[3:]


def test_long_poll_returns_when_a_message_arrives(server, client):
    join = in_thread(lambda: client.get_updates(timeout=30))
    server.wait_polling()
    server.post_message("wake up", 5)
    assert [u.message.text for u in join()] == ["wake up"]


def test_long_poll_without_messages_times_out_empty(client):
    assert client.get_updates(timeout=0.2) == []


def test_stop_answers_a_long_poll_in_flight(server, client):
    join = in_thread(lambda: client.get_updates(timeout=30))
    server.wait_polling()
    server.stop()
    assert join() == []


def test_delete_webhook_drops_pending_updates_only_when_asked(server, client):
    server.post_message("kept", 5)
    client.delete_webhook()
    assert len(server.pending()) == 1
    server.post_message("dropped too", 5)
    client.delete_webhook(drop_pending_updates=True)
    assert (server.pending(), server.dropped()) == ([], 2)


def test_commands_carry_their_entities_as_telegram_marks_them(server):
    cases = {
        "/orders -a 5": [(0, 7)],
        "/orders@zandor_trader_bot 5": [(0, 25)],
        "/stop\nnow": [(0, 5)],
        "/balance.": [(0, 8)],  # a command ends where a name cannot go on
        "/balance, please": [(0, 8)],
        "/deals,5": [(0, 6)],
        "/stopä": [(0, 5)],
        "hello /stop": [(6, 5)],  # not the first entity at offset 0: no command to the bot
        "(/help)": [(1, 5)],
        "\U0001F600 /stop": [(3, 5)],  # offsets in UTF-16 units
        "/a /b": [(0, 2), (3, 2)],
        "/" + "x" * 33: [],  # longer than a command name may be
        "a/b http://x.org/stop //c": [],
        "/ä": [],
        "/": [],
    }
    for text in cases:
        server.post_message(text, 5)
    for update, (text, spans) in zip(server.pending(), cases.items()):
        entities = update["message"].get("entities")
        expected = [{"type": "bot_command", "offset": o, "length": n} for o, n in spans] or None
        assert (update["message"]["text"], entities) == (text, expected)


def test_send_message_records_in_order_and_refuses_what_telegram_refuses(server, client):
    client.send_message(chat_id=5, text="first")
    client.send_message(chat_id=-100, text="x" * MAX_MESSAGE_LENGTH)
    client.send_message(chat_id=5, text="\U0001F600" * (MAX_MESSAGE_LENGTH // 2))
    with pytest.raises(BadRequest, match="(?i)text is empty"):
        client.send_message(chat_id=5, text="")
    with pytest.raises(BadRequest, match="(?i)too long"):
        client.send_message(chat_id=5, text="x" * (MAX_MESSAGE_LENGTH + 1))
    with pytest.raises(BadRequest, match="(?i)too long"):  # counted in UTF-16 units
        client.send_message(chat_id=5, text="\U0001F600" * (MAX_MESSAGE_LENGTH // 2 + 1))
    server.block_chat(6)
    with pytest.raises(Unauthorized):
        client.send_message(chat_id=6, text="blocked")
    sent = server.sent()
    assert [(m.chat_id, len(m.text)) for m in sent] == [
        (5, 5), (-100, MAX_MESSAGE_LENGTH), (5, MAX_MESSAGE_LENGTH // 2)]
    assert server.wait_sent(1) == sent[0]
    with pytest.raises(TimeoutError):
        server.wait_sent(4, timeout=0.1)


def test_mailboxes_are_per_token(server):
    other = Bot("2222:other", base_url=server.base_url)
    server.post_message("for 1111", 5)
    assert other.get_updates() == []
    other.send_message(chat_id=5, text="from 2222")
    assert server.sent() == [] and len(server.sent(token="2222:other")) == 1


def test_remote_control_over_http(server, client):
    remote = RemoteServer(server.control_url, token=TOKEN)
    join = in_thread(lambda: remote.wait_sent(1, timeout=30))
    update_id = remote.post_message("/balance", 9, user_id=10, first_name="Ann")
    (update,) = client.get_updates()
    assert update.update_id == update_id
    assert (update.message.chat.id, update.message.from_user.first_name) == (9, "Ann")
    assert update.message.entities[0].type == "bot_command"
    client.send_message(chat_id=9, text="done")
    assert join().text == "done"
    assert [m.text for m in remote.sent()] == ["done"]
    with pytest.raises(TimeoutError):
        remote.wait_sent(2, timeout=0.1)


def test_command_line_server_runs_until_terminated():
    proc = subprocess.Popen([sys.executable, "-m", "botapi"], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONUNBUFFERED="1"))
    try:
        base_url = proc.stdout.readline().strip().partition("=")[2]
        control_url = proc.stdout.readline().strip().partition(": ")[2]
        Bot(TOKEN, base_url=base_url).send_message(chat_id=1, text="hi")
        assert RemoteServer(control_url, token=TOKEN).wait_sent(1).text == "hi"
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0


def test_an_operator_edit_arrives_as_an_edited_message(server, client):
    remote = RemoteServer(server.control_url, token=server.control_token)
    first = server.post_message("/orders 5", 5)
    edit = remote.edit_message(first, "/orders 7")
    second_edit = server.edit_message(edit, "plain words")
    original, edited, again = client.get_updates()
    assert (edited.update_id, again.update_id) == (edit, second_edit)
    assert edited.message is None and edited.effective_message is edited.edited_message
    message = edited.edited_message
    assert (message.message_id, message.text, message.chat.id) == (
        original.message.message_id, "/orders 7", 5)
    assert message.edit_date is not None and message.entities[0].type == "bot_command"
    assert again.edited_message.text == "plain words" and not again.edited_message.entities
    with pytest.raises(LookupError):
        server.edit_message(999, "x")
    with pytest.raises(RuntimeError, match="no message of update 999"):
        remote.edit_message(999, "x")
