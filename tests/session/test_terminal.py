"""The terminal side: typed lines, the reader thread, trace lines in the pane, the chat."""
import os
import sys
import threading
import types

from zandor_trader.chat import ChatLog
from zandor_trader.keyboard import KeyboardReader, LineEditor
from zandor_trader.log_pane import LogPane

DEADLINE = 10.0


def test_line_editor_edits_and_drops_escape_sequences():
    editor = LineEditor()
    assert editor.feed("/balx\x7fance") == []
    assert editor.buffer == "/balance"
    assert editor.feed("\r") == ["/balance"] and editor.buffer == ""
    # Arrow keys (CSI and SS3 forms) and Alt+key leave nothing behind; Ctrl-U clears.
    assert editor.feed("/de\x1b[Dal\x1bOAs\x1bx 5\n") == ["/deals 5"]
    assert editor.feed("junk\x15/stop\n\n   \n") == ["/stop"]
    # A sequence split across reads is still skipped.
    editor.feed("/or\x1b[1;")
    assert editor.feed("5Cders\r\n") == ["/orders"]


def test_keyboard_reader_posts_lines_and_ends_at_end_of_input_or_stop():
    r, w = os.pipe()
    lines, done = [], threading.Event()

    def take(line):
        lines.append(line)
        if len(lines) == 2:
            done.set()

    reader = KeyboardReader(r, take).start()
    os.write(w, "/balance\n/send_order EPZ5,1,l,o,m,CQG,None,None\n".encode())
    assert done.wait(DEADLINE)
    reader.stop()  # ends the thread while it waits for more
    assert lines == ["/balance", "/send_order EPZ5,1,l,o,m,CQG,None,None"]
    assert not reader._thread.is_alive()

    # End of input: the last unfinished line is still taken, split UTF-8 included.
    r2, w2 = os.pipe()
    ended = []
    reader = KeyboardReader(r2, ended.append).start()
    os.write(w2, "/echo caf\xc3".encode("latin-1"))
    os.write(w2, b"\xa9")
    os.close(w2)
    reader._thread.join(DEADLINE)
    assert ended == ["/echo café"]
    reader.stop()
    os.close(r)
    os.close(w)
    os.close(r2)


def test_log_pane_keeps_whole_lines_per_stream_and_writes_the_file(tmp_path):
    path = tmp_path / "trace.log"
    before = sys.stdout, sys.stderr
    with open(path, "w", encoding="utf-8") as file:
        pane = LogPane(keep=3, file=file)
        with pane.redirect():
            print("140: Connecting", end="")
            print("oops", file=sys.stderr)  # the unfinished stdout line does not take it
            print(" to GW")
            print("a\nb")
            print("unfinished", end="")
        assert (sys.stdout, sys.stderr) == before
    assert pane.lines() == ["140: Connecting to GW", "a", "b", "unfinished"][-3:]
    assert path.read_text().splitlines() == [
        "stderr: oops", "140: Connecting to GW", "a", "b", "unfinished"]
    assert pane.lines(0) == [] and pane.lines(1) == ["unfinished"]


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
