"""The book of record across whole sessions on one journal and paper store: a session killed
right after a fill was announced, sessions that continue each other, a fresh paper account,
and the trader's books read back."""
import csv
import io
import subprocess
import sys

import pytest

from .test_session import SessionProcess, run_session, session_environment  # noqa: F401

pytestmark = pytest.mark.long
ARGS = ("--instruments", "EPZ5", "--speed", "20", "--stale-after", "0")


def journal(cwd, *args):
    """`zandor-trader journal ...` in `cwd`: (exit code, output)."""
    done = subprocess.run([sys.executable, "-m", "zandor_trader", "journal", *args], cwd=cwd,
                          env=session_environment(), capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def bot_messages(session):
    """Every message the bot sent so far in this session."""
    messages, n = [], 0
    while True:
        try:
            messages.append(session.remote.wait_sent(n + 1, timeout=0.5).text)
        except Exception:
            return messages
        n += 1


def deal_id_of(text):
    return text.split("Deal: ", 1)[1].split()[0]


def test_a_session_killed_after_a_fill_is_announced_loses_nothing_and_repeats_nothing(
        run_session, tmp_path):
    first = run_session(*ARGS, "--seed", "11").start()
    (deal,) = [r for r in first.say("/send_order EPZ5,2,l,o,m,CQG,None,None", "Deal:")
               if r.startswith("Deal:")]
    deal_id = deal_id_of(deal)
    first.proc.kill()  # SIGKILL: nothing is closed, flushed or said
    first.finish()

    second = run_session(*ARGS, "--seed", "12").start()
    found = second.expect("Found at the broker on starting")[-1]
    assert "Open positions: 1" in found and "EPZ5.CME LONG 2" in found
    assert "made while the session was down" not in found  # the journal had the deal
    assert any(line.startswith("Realized P&L of trading day ") for line in second.out)
    listing = second.say("/deals 5", "Last ")[-1]
    assert deal_id in listing  # as the operator last saw it
    said = bot_messages(second)
    # The deal's announcement is not made again, unless as a marked repeat.
    assert [m for m in said if m.startswith("Deal:")] == []
    second.say("/stop force", "terminated")
    assert second.finish() == 0

    code, out = journal(tmp_path, "deals", "--format", "csv")
    assert code == 0, out
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0] == ["time", "deal_id", "order_id", "symbol", "exchange", "side", "quantity",
                       "price"]
    (row,) = [r for r in rows[1:] if r[1] == deal_id]
    assert row[3:7] == ["EPZ5", "CME", "LONG", "2"] and row[0].endswith("+08:00")


def test_two_runs_continue_each_other_and_a_paper_reset_starts_flat(run_session, tmp_path):
    first = run_session(*ARGS, "--seed", "21").start()
    first.say("/send_order EPZ5,1,l,o,m,CQG,None,None", "Deal:")
    placed = first.say("/send_order EPZ5,1,s,o,l,CQG,7000.00,None", "Order placed:")[-1]
    resting = placed.split()[2]
    cash = first.say("/balance", "cash:")[-1]
    first.say("/stop force", "terminated")
    assert first.finish() == 0

    second = run_session(*ARGS, "--seed", "22").start()
    found = second.expect("Found at the broker on starting")[-1]
    assert "Working orders: 1" in found and resting in found
    assert "Open positions: 1" in found and "EPZ5.CME LONG 1" in found
    # The working order is the session's to cancel, the cash goes on where it was.
    second.say(f"/cancel_order {resting[1:9]} CQG", f"Cancel requested for order {resting}")
    assert second.say("/balance", "cash:")[-1].split("\n")[1] == cash.split("\n")[1]
    assert "Session running" in "\n".join(second.out)
    second.say("/stop force", "terminated")
    assert second.finish() == 0
    assert any(line.startswith("Journal ") and "session 2" in line for line in second.out)

    third = run_session(*ARGS, "--seed", "23", "--paper-reset").start()
    assert any(line.startswith("Paper account reset (") for line in third.out)
    assert third.say("/positions", "open positions")[-1] == "No open positions."
    third.say("/stop", "terminated")
    assert third.finish() == 0
    code, out = journal(tmp_path, "orders")
    assert code == 0 and resting in out and out.rstrip().endswith("rows)")
