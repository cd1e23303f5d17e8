"""The session on its terminal: the live display started over the session's parts (and the
terminal given back as it was when it cannot start), and the keyboard, whose lines go to the
local server's chat (with Telegram, nowhere: the terminal takes no commands then, but what is
typed is still read, so that it does not reach the shell). With the local server the keyboard
presses a question's buttons too, through the server, as the operator would: Left, Right and
Enter on the display, or a line holding the button's text."""
import os
import sys
import time
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from zandor_trader.app.session import Session
    from zandor_trader.console import Display, KeyboardReader
    from zandor_trader.console.view import ButtonChoice


def button_choice(session: "Session") -> Optional["ButtonChoice"]:
    """The keyboard's way to the buttons, made once: only on the local server, whose chat
    the terminal plays."""
    from zandor_trader.console.view import ButtonChoice

    server = session.server
    if session.buttons is None and server is not None and session.chat is not None:
        def press(message_id: int, label: str) -> None:
            try:
                server.press_button(message_id, text=label)
            except LookupError as exc:  # answered meanwhile: the buttons are gone
                print(f"Not pressed: {exc}", flush=True)

        session.buttons = ButtonChoice(session.chat, press)
    return session.buttons


def start_display(session: "Session", pane, console, chat, deadline) -> "Display":
    """The display over the session's parts, started (with the chat's scrollback and the
    orders panel's filter, which the keyboard moves); a failure gives the terminal back."""
    from zandor_trader.console import Display, OrderFilter, Scroll, SessionView

    gateway = session.gateway
    assert gateway is not None  # the display shows the gateway's records
    session.scroll, session.order_filter = Scroll(), OrderFilter()
    view = SessionView(
        gateway=gateway, chat=chat, log=pane, started=time.monotonic(), deadline=deadline,
        status=lambda: session.bot.zandor_trader_status if session.bot else "Starting",
        scroll=session.scroll, orders=session.order_filter, buttons=button_choice(session),
        # With Telegram the terminal takes no commands: no line to type them in.
        typing=(lambda: session.keyboard.typing if session.keyboard else "")
        if session.server is not None else None,
        chat_offline=lambda: session.link.offline_since() if session.link else None,
        broker="simulated CQG" if session.settings.broker == "sim" else "CQG")
    display = Display(view, console)
    try:
        display.start()
    except BaseException:
        try:  # the terminal back as it was: out of the alternate screen, cursor shown
            display.stop()
        finally:
            console.set_alt_screen(False)
            console.show_cursor(True)
        raise
    gateway.add_listener(lambda kind, record: display.changed())
    return display


def start_keyboard(session: "Session", chat_id: int, token: str,
                   keys: bool) -> Optional["KeyboardReader"]:
    """The operator's lines posted to the local server (as the chat's messages to the bot of
    `token`); with Telegram, each answered on the terminal with where commands go. None
    without a standard input to read, or off POSIX."""
    from zandor_trader.console import KeyboardReader

    try:
        fd = sys.stdin.fileno()
    except (AttributeError, ValueError, OSError):  # no standard input to read
        return None
    if os.name != "posix":  # waiting on the console and a wake-up together needs POSIX
        return None
    server = session.server
    buttons = button_choice(session)

    def post(line: str) -> None:
        if buttons is not None and buttons.press_label(line):
            return
        if server is not None:
            server.post_message(line, chat_id, token=token)
        else:
            print(f"Not sent: {line!r}: commands come from the operator's Telegram chat",
                  flush=True)

    return KeyboardReader(fd, post, on_change=session.typed, keys=keys,
                          scroll=session.scroll, orders=session.order_filter,
                          buttons=buttons).start()
