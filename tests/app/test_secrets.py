"""Secrets in a whole session on a terminal: the password reaches the broker's logon and no
output (terminal, trace log, transcript, chat, journal); being "1000" changes no deal id or
price."""
import os
import re
import sqlite3

import pytest

from ..waiting import eventually

pytestmark = pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")

DISTINCTIVE = "Zq-Pass-7yWb4"


def outputs(s, cwd):
    """Every output of the session: the terminal, the trace log, the transcript, the chat, the
    journal (every row)."""
    (transcript,) = [p for p in os.listdir(cwd) if p.startswith("zandor-trader-chat-")]
    db = sqlite3.connect(cwd / "zandor-trader-100101.sqlite")
    try:
        journal = "\n".join(db.iterdump())
    finally:
        db.close()
    return {"terminal": s.output(), "log": (cwd / "trace.log").read_text(),
            "transcript": (cwd / transcript).read_text(), "chat": "\n".join(s.chat),
            "journal": journal}


@pytest.mark.parametrize("password", ["1000", DISTINCTIVE])
def test_the_password_is_in_no_output_and_nothing_else_is_blanked(tmp_path, password):
    from .terminal_session import TerminalSession

    s = TerminalSession("--instruments", "EPZ5", "--speed", "20", "--minutes", "5", "--log",
                        "trace.log", cwd=tmp_path, width=160, height=50,
                        env={"ZANDOR_PASSWORD": password})
    try:
        s.wait_started()
        for text in ("/send_order EPZ5,1,l,o,m,CQG,None,None",
                     "/send_order EPZ5,1,s,o,m,CQG,None,None",
                     "/send_order EPZ5,1,l,o,l,CQG,1000,None"):  # a price equal to it
            s.type(text + "\r")
        eventually(lambda: sum(m.startswith("Deal: ") for m in s.bot_messages()) == 2, 30)
        eventually(lambda: any("refused: price 1000 " in m for m in s.bot_messages()), 30)
        s.type("/deals 5\r")
        eventually(lambda: any(m.startswith("Last 2 of 2 deals") for m in s.bot_messages()), 30)
        s.chat = s.bot_messages()
        s.type("/stop force\r")
        assert s.finish() == 0
    finally:
        s.kill()
    seen = outputs(s, tmp_path)
    deals = re.findall(r"^Deal: (\S+) order", "\n".join(s.chat), re.M)
    assert len(deals) == 2 and all(re.fullmatch(r"\d{7}", d) for d in deals), deals
    for where, text in seen.items():
        assert "***" not in text, where
        if password == DISTINCTIVE:
            assert DISTINCTIVE not in text and "Zq-Pass" not in text, where
    assert all(d in seen["chat"] and d in seen["transcript"] and d in seen["journal"]
               for d in deals)
    assert "simulated CQG" in seen["terminal"]  # the header, as it is
