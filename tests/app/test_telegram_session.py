"""Whole sessions talking to a Bot API in a process of its own, as Telegram would be: under
Telegram's flood limits every command answered once, in order; an outage told once when it
starts and once when it ends, never as tracebacks."""
import re
import subprocess
import sys

import pytest

from botapi import BotApiServer, RemoteServer

from .test_session import (  # noqa: F401  (run_session: the fixture)
    CHAT, STARTUP, assert_ended_cleanly, run_session, session_environment)

TOKEN = "4343:Zq-flood-bot"


class ApiProcess:
    """`python -m botapi ARGS`, played through its control interface with the bot's token."""

    def __init__(self, cwd, *args):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "botapi", "--port", "0", *args],
            cwd=cwd, env=session_environment(), stdout=subprocess.PIPE, text=True)
        self.base_url = self.proc.stdout.readline().strip().split("=", 1)[1]
        self.control = self.proc.stdout.readline().strip().split(": ", 1)[1]
        self.remote = RemoteServer(self.control, token=TOKEN)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(STARTUP)
        self.proc.stdout.close()


@pytest.fixture
def bot_api(tmp_path):
    made = []

    def start(*args):
        api = ApiProcess(tmp_path, *args)
        made.append(api)
        return api

    yield start
    for api in made:
        api.kill()


def telegram_session(run_session, api, *args):
    """A session whose bot talks to `api` (a process, or a server in this one)."""
    s = run_session("--instruments", "EPZ5,CLEF6", "--speed", "20", "--minutes", "10", *args,
                    env=dict(ZANDOR_TELEGRAM_TOKEN=TOKEN, ZANDOR_TELEGRAM_BASE_URL=api.base_url))
    return s.start(getattr(api, "remote", api))


def burst():
    """20 commands of every kind, with the result each must get."""
    commands = []
    for n in range(1, 21):
        kind = n % 6
        if kind == 1:
            side = "l" if n % 4 == 1 else "s"
            commands.append((f"/send_order EPZ5,1,{side},o,m,CQG,None,None",
                             rf"Order placed: \{{[0-9A-F-]+\}} EPZ5\.CME "
                             rf"{'LONG' if side == 'l' else 'SHORT'} 1 MARKET$"))
        elif kind == 2:
            refused = f"Cancel refused: CQG has no order with id '{{NOPE-{n}}}'."
            commands.append((f"/cancel_order {{NOPE-{n}}} CQG", re.escape(refused)))
        elif kind == 3:
            commands.append(("/orders 2", r"(Last \d+ of \d+ orders|No orders\.)"))
        elif kind == 4:
            commands.append(("/balance", "Balance of CQG account 100101:"))
        elif kind == 5:
            commands.append((f"/deals {n}", r"(Last \d+ of \d+ deals:|No deals\.)"))
        else:
            commands.append(("/positions", r"(Open positions \(\d\):|No open positions\.)"))
    return commands


# Long: Telegram takes one message a second to a chat: about 45 messages go out.
@pytest.mark.long
def test_a_burst_under_telegrams_flood_limits_is_answered_each_once_in_order(run_session,
                                                                            bot_api):
    api = bot_api("--flood")
    s = telegram_session(run_session, api)
    commands = burst()
    for text, _ in commands:
        api.remote.post_message(text, CHAT)
    results = []
    while len(results) < len(commands):
        s.seen += 1
        text = api.remote.wait_sent(s.seen, timeout=20).text
        if not text.startswith(("[", "Deal: ")):  # the bot's acknowledgements, fills
            results.append(text)
    for (command, pattern), result in zip(commands, results):
        assert re.match(pattern, result), (command, result)
    api.remote.post_message("/stop force", CHAT)
    s.expect("Zandor-Trader terminated")
    assert_ended_cleanly(s, "/stop from the operator")
    everything = "\n".join(s.out + s.err)
    assert "Traceback" not in everything
    assert "No error handlers are registered" not in everything
    # Nothing twice: each result once, and the summary.
    sent = [m.text for m in api.remote.sent()]
    assert len([m for m in sent if not m.startswith(("[", "Deal: "))]) == len(commands) + 1


# Long: the client library waits longer and longer between its tries while the Bot API is
# away (1, 1.5, 2.25 s, ...).
@pytest.mark.long
def test_an_outage_is_told_once_when_it_starts_and_once_when_it_ends(run_session):
    # In this process: stopped and started again, it keeps its mailboxes, as Telegram does.
    with BotApiServer(token=TOKEN) as server:
        s = telegram_session(run_session, server)
        s.say("/balance", "Balance of CQG account")
        server.stop()
        s.wait_line(r"^Chat link lost: ")
        server.start()  # back, at the same address
        s.wait_line(r"^Chat link back after \d+ s$", timeout=60)
        s.say("/balance", "Balance of CQG account")
        s.say("/stop force", "Zandor-Trader terminated")
        assert_ended_cleanly(s, "/stop from the operator")
    everything = "\n".join(s.out + s.err)
    assert len(re.findall("Chat link lost", everything)) == 1
    assert len(re.findall("Chat link back", everything)) == 1
    assert "Traceback" not in everything and "Error while getting Updates" not in everything
