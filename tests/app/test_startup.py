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


def test_with_telegram_the_display_has_no_input_line_and_shows_the_chat_link():
    from zandor_trader.chat import ChatLink

    console = Console(file=io.StringIO(), force_terminal=True, width=100, height=30)
    for server, typing in ((None, False), (object(), True)):
        session = Session(Settings())
        session.gateway = fakes.gateway_with_adapter()
        session.server = server  # a local server: the terminal takes commands
        session._start_display(LogPane(), console, ChatLog(lambda n: ([], 0)), None)
        try:
            view = session.display.view
            assert (view.typing is not None) == typing
            session.link = ChatLink([].append, clock=lambda: 1234.0)
            session.link.failed(ConnectionError("down"))
            assert view.chat_offline() == 1234.0
        finally:
            session.display.stop()
