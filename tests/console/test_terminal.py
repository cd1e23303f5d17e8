"""The terminal side: typed lines, the reader thread, trace lines in the pane, the chat."""
import os
import sys
import threading

import pytest

from zandor_trader.console import (
    KeyboardReader, LineEditor, LogPane, OrderFilter, Scroll, Transcript, closing_text)

DEADLINE = 10.0


def test_line_editor_edits_and_drops_escape_sequences():
    editor = LineEditor()
    assert editor.feed("/balx\x7fance") == []
    assert editor.buffer == "/balance"
    assert editor.feed("\r") == ["/balance"] and editor.buffer == ""
    # Arrow keys (CSI and SS3 forms) and Alt+key leave nothing behind; Ctrl-U clears.
    assert editor.feed("/de\x1b[Dal\x1bOCs\x1bx 5\n") == ["/deals 5"]
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


def test_up_and_down_recall_earlier_lines_and_page_keys_scroll_the_chat():
    scroll = Scroll()
    editor = LineEditor(scroll)
    editor.feed("/balance\r/orders 5\r/orders 5\r/pos")
    up, down = "\x1b[A", "\x1bOB"
    editor.feed(up)
    assert editor.buffer == "/orders 5"  # a line entered twice in a row is kept once
    editor.feed(up + up + up)
    assert editor.buffer == "/balance"  # no further than the oldest
    editor.feed(down)
    assert editor.buffer == "/orders 5"
    editor.feed(down)
    assert editor.buffer == "/pos"  # past the newest: what was being typed
    editor.feed(up + "\x7f4\r")
    assert editor.feed(up) == [] and editor.buffer == "/orders 4"
    editor.feed("\x15")
    editor.feed("\x1b[5~\x1b[5~\x1b[6~\x1b[5~")
    assert scroll.pages == 2 and editor.buffer == ""
    editor.feed("\x1b[F")
    assert scroll.pages == 0
    editor.feed("\x1b[5~/deals\r")  # sending a line brings the newest lines back
    assert scroll.pages == 0


def test_the_trace_pane_folds_repeats_names_threads_and_the_file_keeps_every_line(tmp_path):
    path = tmp_path / "trace.log"
    main = threading.get_ident()
    with open(path, "w", encoding="utf-8") as file:
        pane = LogPane(file=file)
        pane.add(f"{main}: Select account 100101")
        for _ in range(14):  # the pair printed at each account refresh
            pane.add(f"{main}: GW Account id: 100101 name: ZT-SIM-1")
            pane.add(f"{main}: [Found] GW Account id: 100101 name: ZT-SIM-1")
        pane.add("987654321: GW connection is UP!")
        pane.add("987654321: Waiting for eventQuoteDone in subscribe_quote(EPZ5)...")
        pane.add("[2] OnTimedBarsAdded: Bar(datetime=datetime.datetime(2025, 12, 1, 22, 31), "
                 "security=Security(code='EPZ5', exchange=<Exchange.CME: 'CME'>, name='E-mini "
                 "S&P 500, Dec 25', lot_size=1), open=6844.0, high=6845.25, low=6841.5, "
                 "close=6842.5, volume=840)")
        pane.add(f"{main}: GW Account id: 100101 name: ZT-SIM-1")  # too far back: a new line
    assert pane.lines() == [
        "main: Select account 100101",
        "main: GW Account id: 100101 name: ZT-SIM-1  (x14)",
        "main: [Found] GW Account id: 100101 name: ZT-SIM-1  (x14)",
        "thread1: GW connection is UP!",
        "thread1: Waiting for eventQuoteDone in subscribe_quote(EPZ5)...",
        "[2] OnTimedBarsAdded: bar EPZ5 22:31:00 UTC+8 open 6844.0 high 6845.25 low 6841.5 "
        "close 6842.5 volume 840",
        "main: GW Account id: 100101 name: ZT-SIM-1"]
    assert pane.count() == 7
    written = path.read_text().splitlines()
    assert len(written) == 33 and written[0] == f"{main}: Select account 100101"
    assert "Bar(datetime=datetime.datetime(2025, 12, 1, 22, 31)" in written[-2]


def test_the_conversation_is_kept_in_a_file_and_its_end_printed_whole(tmp_path):
    transcript = Transcript(str(tmp_path / "chat.txt"))
    entries = [("operator", "/balance"), ("bot", "Balance of CQG account 100101:\ncash: 1"),
               ("operator", "/stop"), ("bot", "Session summary:\nP&L 0\ndeals 0")]
    for who, text in entries:
        transcript.add(who, text)
    transcript.close()
    assert (tmp_path / "chat.txt").read_text().splitlines() == [
        "operator> /balance", "bot> Balance of CQG account 100101:", "     cash: 1",
        "operator> /stop", "bot> Session summary:", "     P&L 0", "     deals 0"]
    assert closing_text(entries, 5, transcript).splitlines() == [
        f"Conversation with the bot (the last 2 of 4 messages; all of it in {transcript.path}):",
        "operator> /stop", "bot> Session summary:", "     P&L 0", "     deals 0"]
    # The newest message is printed whole even when it is longer than the room.
    assert closing_text(entries, 2).splitlines()[1:] == [
        "bot> Session summary:", "     P&L 0", "     deals 0"]
    assert closing_text(entries, 50).startswith("Conversation with the bot (4 messages):")
    assert closing_text([], 10) == "No conversation with the bot."
    unwritable = Transcript(str(tmp_path / "missing" / "chat.txt"))
    unwritable.add("bot", "hello")
    closing = closing_text([("bot", "hello")], 5, unwritable)
    assert "could not be written (FileNotFoundError" in closing


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


@pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")
def test_keys_typed_and_not_read_when_the_session_ends_never_reach_the_shell():
    import pty
    import select

    from zandor_trader.console import discard_typeahead

    master, slave = pty.openpty()
    try:
        lines = []
        reader = KeyboardReader(slave, lines.append, keys=True).start()
        reader.stop()  # from now on nobody reads: what follows would be the shell's
        os.write(master, b"rm -rf ~\r")
        assert select.select([slave], [], [], 10)[0]  # it is there, waiting
        discard_typeahead(slave)
        assert select.select([slave], [], [], 0)[0] == []
        assert lines == []
        discard_typeahead(w := os.pipe()[1])  # not a terminal: nothing to do, no error
        os.close(w)
    finally:
        os.close(master)
        os.close(slave)


def test_trace_lines_written_in_pieces_by_two_threads_stay_whole():
    from zandor_trader.console.log_pane import LineWriter

    from ..app.test_settings import interleaved

    pane = LogPane()
    writer = LineWriter(pane)
    interleaved(writer)
    writer.write("last words")
    writer.close()
    assert pane.lines() == ["[2] OnTimedBarsAdded: bar", "Session stopping: Ctrl-C",
                            "last words"]


def test_tab_toggles_the_orders_panel_between_working_and_all():
    orders = OrderFilter()
    editor = LineEditor(orders=orders)
    editor.feed("/bal\tance")
    assert orders.working_only and editor.buffer == "/balance"  # the line is left as it was
    editor.feed("\t")
    assert not orders.working_only
    LineEditor().feed("\t")  # no filter: nothing happens
