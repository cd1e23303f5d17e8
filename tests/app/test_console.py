"""A whole session in display mode on an 80x24 pseudo-terminal, played from the keyboard:
the compact layout, input history, and what stays on the terminal when it ends."""
import os

import pytest

from ..waiting import eventually

pytestmark = pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")


def test_a_display_session_from_the_keyboard_leaves_its_conversation_behind(tmp_path):
    from .terminal_session import TerminalSession

    s = TerminalSession("--instruments", "EPZ5,CLEF6", "--speed", "20", "--minutes", "5",
                        cwd=tmp_path, width=80, height=24)
    try:
        s.wait_started()
        s.type("/send_order EPZ5,1,l,o,m,CQG,None,None\r")
        eventually(lambda: any(m.startswith("Deal: ") for m in s.bot_messages()), 30)
        s.wait_output("Last deal: EPZ5 LONG 1 @ ", 30)  # the compact line of a small terminal
        s.type("/balance\r")
        eventually(lambda: any(m.startswith("Balance of CQG") for m in s.bot_messages()), 30)
        s.type("\x1b[A\x1b[A\r")  # Up twice: the order again
        eventually(lambda: sum(m.startswith("Deal: ") for m in s.bot_messages()) == 2, 30)
        s.type("/stop force\r")  # positions are open: without "force" it asks first
        assert s.finish() == 0
    finally:
        s.kill()
    after = s.after_display()
    assert "Session ended." in after
    head, *conversation = after.split("Conversation with the bot (", 1)[1].splitlines()
    # The session's summary, whole, at the end.
    end = conversation.index("bot> Zandor-Trader terminated (/stop from the operator).")
    assert conversation[end + 1].startswith("     Realized P&L: ")
    assert "     Open positions: 1" in conversation[end:]
    assert "operator> /stop force" in conversation[:end]
    (path,) = [p for p in os.listdir(tmp_path) if p.startswith("zandor-trader-chat-")]
    assert head.endswith(f"all of it in {path}):")
    written = (tmp_path / path).read_text().splitlines()
    assert [line for line in written if line.startswith("operator> ")] == [
        "operator> /send_order EPZ5,1,l,o,m,CQG,None,None", "operator> /balance",
        "operator> /send_order EPZ5,1,l,o,m,CQG,None,None", "operator> /stop force"]
