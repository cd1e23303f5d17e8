"""Plain mode's output: the conversation with the trace among it in the display's short form,
repeats counted instead of printed again; every line whole in the log file."""
import io
import sys
import threading

from zandor_trader.console import PlainOutput, plain_output
from zandor_trader.console import plain as plain_module

BAR = ("[2] OnTimedBarsAdded: Bar(datetime=datetime.datetime(2025, 12, 1, 22, 30), "
       "security=Security(code='EPZ5', exchange=<Exchange.CME: 'CME'>, name='E-mini', "
       "lot_size=1), open=6850.0, high=6850.5, low=6847.5, close=6848.0, volume=2500)")
LOOKUP = ("GW Account id: 100101 name: ZT-SIM-1", "[Found] GW Account id: 100101 name: ZT-SIM-1")


def test_the_conversation_with_the_trace_in_short_form_and_repeats_counted(tmp_path):
    out, log = io.StringIO(), tmp_path / "trace.log"
    main = threading.get_ident()
    with plain_output(str(log)) as plain:
        print(f"{main}: Waiting for accounts coming...")
        for _ in range(3):
            for line in LOOKUP:
                print(f"{main}: {line}")
        plain.out = out  # what follows is what the operator reads
        plain.chat("operator", "/balance")
        for line in LOOKUP:
            print(f"{main}: {line}")
        plain.chat("bot", "[2026-12-08 02:26:42.348739] Fetching balance...")
        print(BAR)
        for line in LOOKUP:
            print(f"{main}: {line}")
        print("Session ended.")
    assert out.getvalue().splitlines() == [
        f"main: {LOOKUP[0]}  (x3)", f"main: {LOOKUP[1]}  (x3)",  # held back until a new line
        "operator> /balance",
        f"main: {LOOKUP[0]}  (x4)", f"main: {LOOKUP[1]}  (x4)",
        "bot> Fetching balance...",  # the bot's time stamp left out, as on the display
        "[2] OnTimedBarsAdded: bar EPZ5 22:30:00 UTC+8 open 6850.0 high 6850.5 low 6847.5 "
        "close 6848.0 volume 2500",
        f"main: {LOOKUP[0]}  (x5)", f"main: {LOOKUP[1]}  (x5)",
        "Session ended."]
    whole = log.read_text().splitlines()
    assert BAR in whole and len(whole) == 1 + 6 + 2 + 1 + 2 + 1  # every line, as printed
    assert sys.stdout is not plain  # given back


def test_held_back_counts_are_printed_at_the_end_and_after_many_repeats(monkeypatch):
    monkeypatch.setattr(plain_module, "HOLD_AT", 3)
    out = io.StringIO()
    plain = PlainOutput(out)
    for _ in range(8):
        plain.add("cel: GW connection is DOWN!")
    assert out.getvalue().splitlines() == ["cel: GW connection is DOWN!",
                                           "cel: GW connection is DOWN!  (x4)",
                                           "cel: GW connection is DOWN!  (x7)"]
    plain.close()
    assert out.getvalue().splitlines()[-1] == "cel: GW connection is DOWN!  (x8)"
    plain.close()  # nothing more held back
    assert len(out.getvalue().splitlines()) == 4
    plain.chat("bot", "Line one\nline two")
    assert out.getvalue().endswith("bot> Line one\n     line two\n")
