"""Whole sessions in plain mode, in a subprocess, played from the operator's chat through the
local Bot API server's control interface."""
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from botapi import RemoteServer

TOKEN = "3000:session-test"
CHAT = 77
STARTUP = 60.0  # seconds; a session starts in a few, on a loaded machine in more
REPLY = 20.0


class SessionProcess:
    """`python -m zandor_trader --plain ...`, its output read line by line as it comes."""

    def __init__(self, *args, cwd):
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZANDOR_")}
        # The in-tree layout, made absolute since the session runs elsewhere; installed
        # packages are found without it.
        paths = [os.path.join(root, p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env.update(PYTHONPATH=os.pathsep.join(paths), ZANDOR_TELEGRAM_TOKEN=TOKEN,
                   ZANDOR_TELEGRAM_CHAT_ID=str(CHAT), ZANDOR_TRADER_CONFIG=os.devnull,
                   PYTHONUNBUFFERED="1")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "zandor_trader", "--plain", *args], cwd=cwd, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.out, self.err = [], []
        self._lines = queue.Queue()
        self._readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.out, True)),
                         threading.Thread(target=self._read, args=(self.proc.stderr, self.err, False))]
        for reader in self._readers:
            reader.start()
        self.remote = None
        self.seen = 0  # bot messages read so far

    def _read(self, stream, keep, tell):
        for line in stream:
            keep.append(line.rstrip("\n"))
            if tell:
                self._lines.put(line)
        if tell:
            self._lines.put(None)

    def wait_line(self, pattern, timeout=STARTUP):
        """The first match of `pattern` in a stdout line not read by an earlier wait."""
        end = time.monotonic() + timeout
        while True:
            line = self._lines.get(timeout=max(end - time.monotonic(), 0.001))
            assert line is not None, f"session ended early:\n{self.transcript()}"
            match = re.search(pattern, line)
            if match:
                return match

    def start(self):
        control = self.wait_line(r"\(control (\S+)\)").group(1)
        self.remote = RemoteServer(control, token=TOKEN)
        self.wait_line(r"^Session running")
        return self

    def say(self, text, *expected):
        """Posts `text` as the operator; returns the bot's messages up to one containing
        each of `expected`, in turn."""
        self.remote.post_message(text, CHAT)
        return self.expect(*expected)

    def expect(self, *expected):
        """The bot's next messages, up to one containing each of `expected`, in turn."""
        replies = []
        for wanted in expected:
            while True:
                self.seen += 1
                reply = self.remote.wait_sent(self.seen, timeout=REPLY).text
                replies.append(reply)
                if wanted in reply:
                    break
        return replies

    def finish(self, timeout=STARTUP):
        code = self.proc.wait(timeout)
        for reader in self._readers:
            reader.join(timeout)
        return code

    def transcript(self):
        return "\n".join(self.out[-40:] + ["-- stderr --"] + self.err[-40:])

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.finish()


@pytest.fixture
def run_session(tmp_path):
    sessions = []

    def start(*args):
        session = SessionProcess(*args, cwd=tmp_path)
        sessions.append(session)
        return session

    yield start
    for session in sessions:
        session.kill()


def assert_ended_cleanly(session, reason):
    assert session.finish() == 0, session.transcript()
    assert f"Session stopping: {reason}" in session.out
    assert session.out[-1] == "Session ended."
    assert not [line for line in session.err if "Threads still running" in line]
    assert "Successfully logoff account ZT-SIM-1" in "\n".join(session.out)
    assert any(line.endswith("CQGCEL is shut down.") for line in session.out)


def test_the_operator_trades_from_the_chat_and_stops_the_session(run_session):
    s = run_session("--instruments", "EPZ5,CLEF6", "--seed", "5", "--speed", "20",
                    "--minutes", "5").start()

    *_, balance = s.say("/balance", "Fetching balance", "Balance of CQG account 100101:")
    assert "cash: 1,000,000" in balance
    assert s.say("/positions", "Fetching", "open positions")[-1] == "No open positions."

    *_, placed = s.say("/send_order EPZ5,2,l,o,m,CQG,None,None", "Send order", "Order placed")
    order_id = re.match(r"Order placed: (\{[0-9A-F-]+\}) EPZ5\.CME LONG 2 MARKET$", placed).group(1)
    # The fill comes back from the market on its own; the engine tells the operator.
    (deal,) = s.expect("Deal: ")
    assert order_id in deal
    *_, deals = s.say("/deals 5", "Fetching deals (num_deals_displayed=5)", "deals")
    assert re.search(r"\nD?\d+ order " + re.escape(order_id) + r" EPZ5\.CME LONG 2 @ \d+", deals), deals

    *_, orders = s.say("/orders", "Fetching orders", "orders")
    assert order_id in orders and "FILLED, filled 2 @" in orders
    *_, positions = s.say("/positions", "Fetching", "positions")
    assert positions.startswith("Open positions (1):\nCQG EPZ5.CME LONG 2 @")

    # Refusals say what is wrong, and nothing is placed.
    *_, refused = s.say("/send_order EPZ5,0,l,o,m,CQG,None,None", "Send order", "refused")
    assert refused == "Order refused: quantity must be a positive whole number, not '0'."
    assert s.say(f"/cancel_order {order_id} IB", "Canceling", "refused")[-1] == (
        "Cancel refused: no gateway named 'IB' (gateways: CQG).")
    assert s.say(f"/cancel_order {order_id} CQG", "Canceling", "refused")[-1] == (
        f"Cancel refused: order {order_id} is FILLED, not active.")

    # A resting order, cancelled with the others.
    *_, placed = s.say("/send_order EPZ5,1,s,o,l,CQG,99999,None", "Send order", "Order placed")
    resting = placed.split()[2]
    *_, active = s.say("/orders -a 5", "Fetching orders", "orders")
    assert resting in active and order_id not in active
    *_, cancelled = s.say("/cancel_orders", "Canceling all", "active orders")
    assert cancelled == f"Cancelling 1 active orders:\ncancel requested: {resting}"

    *_, closing = s.say("/close_positions", "Closing positions", "Closing 1 positions")
    assert re.search(r"placed \{[0-9A-F-]+\} EPZ5\.CME SHORT 2 MARKET", closing), closing

    s.say("/stop", "Terminating Zandor-Trader", "Zandor-Trader terminated (/stop from the operator).")
    assert_ended_cleanly(s, "/stop from the operator")


@pytest.mark.parametrize("how", ["Ctrl-C", "time limit"])
def test_ctrl_c_or_the_time_limit_end_the_session_cleanly(run_session, how):
    minutes = "0.05" if how == "time limit" else "5"
    s = run_session("--instruments", "CLEF6", "--minutes", minutes).start()
    if how == "Ctrl-C":
        s.proc.send_signal(signal.SIGINT)
        reason = "Ctrl-C"
    else:
        reason = "time limit reached"
    s.wait_line("^Session stopping: " + reason)
    assert_ended_cleanly(s, reason)
    assert s.remote is not None


def test_an_unknown_instrument_is_refused_before_anything_starts(run_session):
    s = run_session("--instruments", "EPZ5,XXX9")
    assert s.finish() != 0
    assert "unknown instrument 'XXX9'" in "\n".join(s.err)


def engine_answers(session, count):
    """The engine's next `count` answers, leaving out the bot's own acknowledgements (time
    stamped) and the fill notices that come in between."""
    answers = []
    while len(answers) < count:
        session.seen += 1
        text = session.remote.wait_sent(session.seen, timeout=REPLY).text
        if not text.startswith(("[", "Deal: ")):
            answers.append(text)
    return answers


def test_a_burst_of_commands_is_served_each_once_in_the_order_sent(run_session):
    """Commands posted faster than the engine serves them: none overwrites another."""
    s = run_session("--instruments", "EPZ5,CLEF6,GCEG6", "--speed", "20", "--minutes", "5").start()
    burst, expected = [], []
    for n in range(1, 51):
        kind = n % 5
        if kind in (1, 3):  # orders, alternating sides so the positions stay small
            symbol, quantity = ("EPZ5", "CLEF6", "GCEG6")[n % 3], 1 + n // 5 % 3
            side = "l" if kind == 1 else "s"
            burst.append(f"/send_order {symbol},{quantity},{side},o,m,CQG,None,None")
            expected.append(rf"Order placed: \{{[0-9A-F-]+\}} {symbol}\.\w+ "
                            rf"{'LONG' if side == 'l' else 'SHORT'} {quantity} MARKET")
        elif kind == 2:
            burst.append(f"/cancel_order {{NOPE-{n}}} CQG")
            expected.append(re.escape(f"Cancel refused: CQG has no order with id '{{NOPE-{n}}}'."))
        elif kind == 4:
            burst.append("/balance")
            expected.append("Balance of CQG account 100101:")
        else:
            burst.append(f"/deals {n}")
            expected.append(r"(Last \d+ of \d+ deals:|No deals\.)")
    for text in burst:
        s.remote.post_message(text, CHAT)
    answers = engine_answers(s, len(burst))
    for answer, pattern in zip(answers, expected):
        assert re.match(pattern, answer), (answer, pattern)
    s.say("/stop", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")
