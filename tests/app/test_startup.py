"""Starting the live display: a failure leaves the terminal as it was."""
import io

import pytest
from rich.console import Console

from zandor_trader.app.session import Session
from zandor_trader.app.settings import Settings
from zandor_trader.chat import ChatLog
from zandor_trader.console import LogPane, display

from ..trading import fakes

ALT_SCREEN_OFF, CURSOR_SHOWN = "\x1b[?1049l", "\x1b[?25h"


def test_a_display_failing_as_it_starts_gives_the_terminal_back(monkeypatch):
    def broken_draw(self):
        raise RuntimeError("cannot draw")

    monkeypatch.setattr(display.Display, "_draw", broken_draw)
    screen = io.StringIO()
    console = Console(file=screen, force_terminal=True, width=100, height=30)
    session = Session(Settings())
    session.gateway = fakes.gateway_with_adapter()
    with pytest.raises(RuntimeError, match="cannot draw"):
        session._start_display(LogPane(), console, ChatLog(lambda n: ([], 0)), None)
    out = screen.getvalue()
    assert "\x1b[?1049h" in out  # it had taken the alternate screen
    assert out.rindex(ALT_SCREEN_OFF) > out.rindex("\x1b[?1049h")
    assert out.rindex(CURSOR_SHOWN) > out.rindex("\x1b[?25l")
    assert session.display is None
    monkeypatch.undo()  # the console is free for the next display
    again = display.Display(display.SessionView(
        gateway=session.gateway, chat=ChatLog(lambda n: ([], 0)), log=LogPane(), started=0,
        deadline=None, typing=lambda: "", status=lambda: "Running"), console).start()
    again.stop()
