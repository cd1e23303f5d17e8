"""Whole sessions in plain mode, in a subprocess, played from the operator's chat through the
local Bot API server's control interface."""
import os
import queue
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time

from decimal import Decimal

import pytest

from botapi import RemoteServer

CHAT = 77
STARTUP = 60.0  # seconds; a session starts in a few, on a loaded machine in more
REPLY = 20.0


class SessionProcess:
    """`python -m zandor_trader --plain ...`, its output read line by line as it comes."""

    # With --bot-port the local server serves its control interface, through which the test
    # plays the operator.
    def __init__(self, *args, cwd, env=None,
                 command=("-m", "zandor_trader", "--plain", "--bot-port", "0")):
        env = session_environment(**(env or {}))
        self.proc = subprocess.Popen(
            [sys.executable, *command, *args], cwd=cwd, env=env,
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

    def start(self, remote=None):
        """Waits until the session runs; the operator plays through `remote`, by default
        the control interface of the session's local server."""
        if remote is None:
            control, path = self.wait_line(r"\(control (\S+), token in (.+)\)$").groups()
            remote = RemoteServer.from_token_file(control, path)
        self.remote = remote
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


def session_environment(**extra):
    """The test's environment without ZANDOR_* settings, with the in-tree layout made
    absolute (the session runs elsewhere; installed packages are found without it)."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZANDOR_")}
    paths = [os.path.join(root, p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env.update(PYTHONPATH=os.pathsep.join(paths), ZANDOR_TELEGRAM_CHAT_ID=str(CHAT),
               ZANDOR_TRADER_CONFIG=os.devnull, PYTHONUNBUFFERED="1")
    env.update(extra)
    return env


@pytest.fixture
def run_session(tmp_path):
    sessions = []

    def start(*args, **kwargs):
        session = SessionProcess(*args, cwd=tmp_path, **kwargs)
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


def test_the_operator_trades_from_the_chat_and_stops_the_session(run_session, tmp_path):
    s = run_session("--instruments", "EPZ5,CLEF6", "--seed", "5", "--speed", "20",
                    "--minutes", "5", "--max-position", "3").start()

    *_, balance = s.say("/balance", "Fetching balance", "Balance of CQG account 100101:")
    assert "cash: 1,000,000" in balance
    assert s.say("/positions", "Fetching", "open positions")[-1] == "No open positions."

    *_, placed = s.say("/send_order EPZ5,2,l,o,m,CQG,None,None", "Send order", "Order placed")
    order_id = re.match(r"Order placed: (\{[0-9A-F-]+\}) EPZ5\.CME LONG 2 MARKET$", placed).group(1)
    # The fill comes back from the market on its own; the engine tells the operator.
    (deal,) = s.expect("Deal: ")
    assert order_id in deal
    filled_at = Decimal(re.search(r" @ ([\d.]+) at ", deal).group(1))
    *_, deals = s.say("/deals 5", "Fetching deals (num_deals_displayed=5)", "deals")
    assert re.search(r"\nD?\d+ order " + re.escape(order_id) + r" EPZ5\.CME LONG 2 @ \d+", deals), deals

    *_, orders = s.say("/orders", "Fetching orders", "orders")
    assert order_id in orders and "FILLED, filled 2 @" in orders
    *_, positions = s.say("/positions", "Fetching", "positions")
    assert positions.startswith("Open positions (1):\nCQG EPZ5.CME LONG 2 @")

    # Refusals say what is wrong, and nothing is placed.
    *_, refused = s.say("/send_order EPZ5,0,l,o,m,CQG,None,None", "Send order", "refused")
    assert refused == "Order refused: quantity must be a positive whole number, not '0'."
    for order, reason in [
            ("EPZ5,99999999999999999999,l,o,m", "quantity 99999999999999999999 is above the "
                                                "limit of 10 contracts per order"),
            ("EPZ5,1,l,o,l,CQG,1e308,None", "% from the last price"),
            (f"EPZ5,1,s,o,l,CQG,{filled_at + Decimal('0.3')},None",
             "is not a multiple of the tick size 0.25 of EPZ5.CME"),
            ("EPZ5,2,l,o,m", "could take the position in EPZ5.CME to 4 long")]:
        if order.count(",") == 4:
            order += ",CQG,None,None"
        *_, refused = s.say(f"/send_order {order}", "Send order", "refused")
        assert reason in refused, refused
    assert s.say(f"/cancel_order {order_id} IB", "Canceling", "refused")[-1] == (
        "Cancel refused: no gateway named 'IB' (gateways: CQG).")
    assert s.say(f"/cancel_order {order_id} CQG", "Canceling", "refused")[-1] == (
        f"Cancel refused: order {order_id} is FILLED, not active.")

    # A resting order (2% above the fill, on the tick grid), cancelled with the others; the
    # operator is told when the cancel is done.
    far = (filled_at * Decimal("1.02") / Decimal("0.25")).to_integral_value() * Decimal("0.25")
    *_, placed = s.say(f"/send_order EPZ5,1,s,o,l,CQG,{far},None", "Send order", "Order placed")
    resting = placed.split()[2]
    *_, active = s.say("/orders -a 5", "Fetching orders", "orders")
    assert resting in active and order_id not in active
    *_, cancelled = s.say("/cancel_orders", "Canceling all", "active orders")
    assert cancelled == f"Cancelling 1 active orders:\ncancel requested: {resting}"
    (done,) = s.expect("Order cancelled: ")
    assert done.startswith(f"Order cancelled: {resting} EPZ5.CME SHORT 1 LIMIT price={far.normalize():f}")

    # The id as the display shows it (its first eight characters) is enough to cancel.
    *_, placed = s.say(f"/send_order EPZ5,1,s,o,l,CQG,{far},None", "Send order", "Order placed")
    resting = placed.split()[2]
    *_, cancelled = s.say(f"/cancel_order {resting[1:9].lower()} CQG", "Canceling", "Cancel")
    assert cancelled.startswith(f"Cancel requested for order {resting} ")
    s.expect("Order cancelled: ")

    # The session's own answers: a command nobody handles, /help, an order string with spaces.
    assert s.say("/balanse", "Unknown command") == [
        "Unknown command /balanse: /help lists the commands."]
    help_text, listing = s.say("/help", "Available commands", "Commands, each with an example")
    assert help_text.startswith("\n    <Zandor-Trader TelegramBot> Available commands:")
    assert "    e.g. /send_order EPZ5,1,s,o,l,CQG,6900.25,None" in listing
    usage, hint = s.say("/send_order EPZ5, 2, l, o, m, CQG, None, None", "/send_order [parameters]",
                        "without spaces")
    assert hint.endswith("/send_order EPZ5,2,l,o,m,CQG,None,None")

    # The session's own commands: the kill switch, then a flatten of what is held.
    assert s.say("/halt", "Trading halted")[-1].startswith("Trading halted: ")
    *_, refused = s.say("/send_order CLEF6,1,l,o,m,CQG,None,None", "Send order", "refused")
    assert "trading is halted by the operator" in refused
    assert s.say("/resume", "Trading resumed") == ["Trading resumed."]
    *_, asked = s.say("/close_positions", "Closing positions", "Flatten the account?")
    assert asked.splitlines()[1:] == ["Open positions: 1", f"CQG EPZ5.CME LONG 2 @ {filled_at}"]
    question = s.remote.sent()[-1]
    assert question.buttons == [["Confirm", "Cancel"]]
    pressed = s.remote.press_button(question.message_id, text="Confirm")
    assert s.expect("Flat: ")[-1] == "Flat: EPZ5: 2 closed in 1 order"
    assert s.remote.wait_callback_answer(pressed, timeout=REPLY).text == "Confirmed."
    assert s.remote.message(question.message_id).text == asked + "\nChosen: Confirm"

    *_, summary = s.say("/stop force", "Terminating Zandor-Trader",
                        "Zandor-Trader terminated (/stop from the operator).")
    assert re.match(r"Zandor-Trader terminated \(/stop from the operator\)\.\n"
                    r"Realized P&L: -?[\d,.]+\nOpen positions: \d", summary), summary
    assert_ended_cleanly(s, "/stop from the operator")
    assert_journaled(tmp_path / "zandor-trader-100101.sqlite")


def assert_journaled(path):
    """The journal of a session that ended cleanly: every reply of the engine's recorded and
    its delivery confirmed, and the requests numbered in the order taken, the session's own
    commands among the bot's."""
    db = sqlite3.connect(path)
    try:
        replies = dict(db.execute("SELECT reply_id, text FROM replies"))
        delivered = {r for (r,) in db.execute("SELECT reply_id FROM deliveries")}
        requests = db.execute("SELECT seq, kind FROM requests ORDER BY rowid").fetchall()
    finally:
        db.close()
    assert sorted(replies) == list(range(1, len(replies) + 1)) and delivered == set(replies)
    texts = list(replies.values())
    for start in ("Deal: ", "Flat: ", "Zandor-Trader terminated"):  # the last one too
        assert any(t.startswith(start) for t in texts), start
    kinds = [kind for _, kind in requests]
    assert [seq for seq, _ in requests] == sorted(seq for seq, _ in requests)
    assert "answer" not in kinds and kinds[:2] == ["get_balance", "get_positions"]
    assert kinds.index("halt") < kinds.index("resume") < kinds.index("close_positions")


def test_stop_with_a_working_order_asks_for_confirmation_and_ends_with_a_summary(run_session,
                                                                                tmp_path):
    from zandor_trader.trading.journal import Journal

    # An earlier session's reply whose delivery was never confirmed: sent once more, marked.
    earlier = Journal(tmp_path / "zandor-trader-100101.sqlite", 100101, "sim")
    earlier.reply_queued(1, "Order cancelled: {0LD}", time.time())
    earlier.close()
    s = run_session("--instruments", "EPZ5", "--seed", "3", "--minutes", "5").start()
    assert s.expect("Order cancelled: {0LD}") == ["(repeat) Order cancelled: {0LD}"]
    *_, placed = s.say("/send_order EPZ5,1,l,o,l,CQG,6700,None", "Send order", "Order placed")
    resting = placed.split()[2]
    *_, asked = s.say("/stop", "Terminating", "Stop not done yet")
    assert "Working orders: 1\n" + resting in asked and "Send /stop again" in asked
    *_, summary = s.say("/stop", "Terminating", "Zandor-Trader terminated")
    assert summary.splitlines()[1:4] == ["Realized P&L: 0", "Open positions: 0",
                                         "Working orders: 1"]
    assert summary.splitlines()[4].startswith(resting)
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


def test_ctrl_c_with_business_open_asks_first_and_a_second_one_ends(run_session):
    s = run_session("--instruments", "EPZ5", "--seed", "3", "--minutes", "5").start()
    *_, placed = s.say("/send_order EPZ5,1,l,o,l,CQG,6700,None", "Send order", "Order placed")
    s.proc.send_signal(signal.SIGINT)
    s.wait_line(r"^Ctrl-C: the account still has business open\.$")
    s.wait_line(r"^Press Ctrl-C again within 5 s to end the session anyway")
    s.proc.send_signal(signal.SIGINT)
    s.wait_line("^Session stopping: Ctrl-C")
    assert_ended_cleanly(s, "Ctrl-C")
    assert "Working orders: 1" in s.out and placed.split()[2] in "\n".join(s.out)


def test_an_instrument_without_its_exchange_is_refused_before_anything_starts(run_session):
    s = run_session("--instruments", "EPZ5,XXX9")
    assert s.finish() == 2
    assert ("instrument XXX9 needs its exchange: add a section [instrument XXX9] with "
            "'exchange = ...' to the settings file") in "\n".join(s.err)
    assert not s.out


SECRET_TOKEN = "4242:Zq-Token-7xVb"
SECRET_PASSWORD = "Zq-Password-3mKd"


@pytest.fixture
def bot_api_process(tmp_path):
    """A Bot API server in a process of its own, as Telegram would be: (process, base URL,
    control URL)."""
    proc = subprocess.Popen([sys.executable, "-m", "botapi", "--port", "0"], cwd=tmp_path,
                            env=session_environment(), stdout=subprocess.PIPE, text=True)
    try:
        base_url = proc.stdout.readline().strip().split("=", 1)[1]
        control = proc.stdout.readline().strip().split(": ", 1)[1]
        yield proc, base_url, control
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(STARTUP)
        proc.stdout.close()


def test_with_a_token_the_session_talks_to_that_bot_api_and_never_shows_a_secret(
        run_session, bot_api_process, tmp_path):
    api, base_url, control = bot_api_process
    s = run_session("--instruments", "EPZ5", "--minutes", "5", env=dict(
        ZANDOR_TELEGRAM_TOKEN=SECRET_TOKEN, ZANDOR_TELEGRAM_BASE_URL=base_url,
        ZANDOR_PASSWORD=SECRET_PASSWORD))
    s.start(RemoteServer(control, token=SECRET_TOKEN))
    assert f"Operator chat {CHAT} on {base_url}: commands come from that chat" in s.out
    assert not [line for line in s.out if "local Bot API server" in line]
    *_, balance = s.say("/balance", "Balance of CQG account 100101:")
    s.say("/send_order EPZ5,1,l,o,l,CQG,1,None", "Order refused")
    # The chat shows in plain mode: the operator's message from the bot's own updates, the
    # replies as the Bot API took them.
    s.wait_line(r"^bot> Order refused: price 1 is ")
    assert "operator> /balance" in s.out and "bot> " + balance.split("\n")[0] in s.out
    chat = [m.text for m in s.remote.sent()]

    # The Bot API goes away: told once; the client's errors name the request's address,
    # which holds the token.
    api.kill()
    api.wait(STARTUP)
    s.wait_line("^Chat link lost: ")
    s.proc.send_signal(signal.SIGINT)  # nothing open: ends at once
    s.wait_line("^Session stopping: Ctrl-C")
    # Ctrl-C again, while the session waits for its summary to go out: no longer. Only until
    # that wait is cut: once the session has ended, the interpreter's own exit (with the
    # plotting library and the journal loaded) is no longer the session's to guard.
    while True:
        s.proc.send_signal(signal.SIGINT)
        try:
            s.wait_line("^Not waiting any longer for the last replies", timeout=0.2)
            break
        except queue.Empty:
            pass
    assert s.finish() == 0, s.transcript()
    everything = "\n".join(s.out + s.err + chat)
    assert "Not waiting any longer for the last replies to reach the operator" in s.out
    assert "Not delivered to the operator: Zandor-Trader terminated (Ctrl-C)." in everything
    assert not [line for line in s.err if "Closing the" in line or "Threads still" in line]
    assert everything.count("Chat link lost") == 1 and "Traceback" not in everything
    assert SECRET_TOKEN not in everything and SECRET_PASSWORD not in everything
    assert "Zq-Token" not in everything and "Zq-Password" not in everything


# Long: two whole sessions, each with the start and end every session has (about 3.4 s: the
# adapter's 2 s pause in the account subscription, the bot's closing).
@pytest.mark.long
def test_instruments_from_the_settings_file_one_unknown_to_the_broker(run_session, tmp_path):
    (tmp_path / "zandor_trader.ini").write_text(
        "[zandor_trader]\ninstruments = EPZ5, ZNH6\n"
        "[instrument EPZ5]\nsecurity = ES\n"
        "[instrument ZNH6]\nexchange = CBOT\ntick_size = 0.015625\n")
    s = run_session("--minutes", "5", env=dict(ZANDOR_TRADER_CONFIG="zandor_trader.ini")).start()
    assert ("Instrument ZNH6 is not known to the broker (Unknown symbol: ZNH6): left out of this "
            "session") in s.out
    assert s.out[-1].startswith("Session running: EPZ5; account 100101")
    (told,) = s.expect("not known to the broker")
    assert told.startswith("Instrument ZNH6 is not known")
    *_, placed = s.say("/send_order ES,1,l,o,m,CQG,None,None", "Send order", "Order placed")
    assert re.match(r"Order placed: \{[0-9A-F-]+\} ES\.CME LONG 1 MARKET$", placed), placed
    s.say("/stop force", "Terminating", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")

    s = run_session("--instruments", "ZNH6", env=dict(ZANDOR_TRADER_CONFIG="zandor_trader.ini"))
    assert s.finish() == 1
    assert ("Session failed: ConnectionError: the broker knows none of the instruments: ZNH6: "
            "Unknown symbol: ZNH6") in s.err
    assert s.out[-1] == "Session ended."


SECOND_SESSION = """
import sys
from zandor_trader.app.session import run
from zandor_trader.app.settings import load
settings = load({"instruments": ("CLEF6",), "minutes": 0.02, "plain": True})
sys.exit(max(run(settings), run(settings)))
"""


# Long: two whole sessions, each with the start and end every session has (about 3.4 s: the
# adapter's 2 s pause in the account subscription, the bot's closing).
@pytest.mark.long
def test_a_second_session_in_the_same_process_works(run_session):
    s = run_session(command=("-c", SECOND_SESSION))
    assert s.finish() == 0, s.transcript()
    assert s.out.count("Session ended.") == 2
    assert s.out.count("bot> Zandor-Trader terminated (time limit reached).") == 2
    servers = [line for line in s.out if line.startswith("Operator chat")]
    assert len(servers) == 2 and servers[0] == servers[1]  # the bot's address, again


WITHOUT_CREDENTIALS = """
import sys
from zandor_trader.app.session import run
from zandor_trader.app.settings import Instrument, Settings
sys.exit(run(Settings(instruments=(Instrument("CLEF6", "CL", "NYMEX"),), plain=True)))
"""


def test_settings_made_without_the_broker_credentials_fail_the_session_plainly(run_session):
    s = run_session(command=("-c", WITHOUT_CREDENTIALS))
    assert s.finish() == 1, s.transcript()
    assert ("Session failed: ValueError: the broker's user, password and account must all be "
            "set") in s.err
    assert s.out[-1] == "Session ended." and not [line for line in s.err if "Thread" in line]


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
    s.say("/stop force", "Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")


def test_commands_after_a_stop_force_are_each_answered_not_served_and_nothing_is_placed(
        run_session, tmp_path):
    s = run_session("--instruments", "EPZ5", "--minutes", "5").start()
    commands = ("/send_order EPZ5,3,l,o,m,CQG,None,None", "/close_positions", "/balance")
    for text in ("/stop force",) + commands:
        s.remote.post_message(text, CHAT)
    chat = []  # everything the bot sends until its server goes with the session
    try:
        while True:
            chat.append(s.remote.wait_sent(len(chat) + 1, timeout=REPLY).text)
    except (RuntimeError, OSError):
        pass
    assert_ended_cleanly(s, "/stop from the operator")
    # Each command the bot took (it acknowledged it) is answered once; the bot stops taking
    # commands before the last replies go out, so none it took is left without its answer.
    # How many it takes before the stop is a race of the bot's polls with the engine (none, when
    # the stop comes alone in its poll and the engine ends first): the engine's side of it is
    # tested without a bot in the wind-down tests.
    taken = [m for m in chat if re.match(r"\[[^]]+\] (Send order|Closing positions|Fetching "
                                         r"balance)", m)]
    assert chat.count("Not served: the session is ending") == len(taken), chat
    assert not [m for m in chat if m.startswith(("Order placed", "Closing 1", "Balance of"))]
    (summary,) = [m for m in chat if m.startswith("Zandor-Trader terminated")]
    assert "Open positions: 0" in summary
    assert not [line for line in s.out if "open position is added" in line]
    # The journal has each as received, served or not.
    with sqlite3.connect(tmp_path / "zandor-trader-100101.sqlite") as db:
        kinds = [k for (k,) in db.execute("SELECT kind FROM requests ORDER BY seq")]
    assert kinds[0] == "stop" and len(kinds) == 1 + len(taken), kinds
