"""The session's terminal: the live display started (and the terminal given back as it was
when it cannot start), and what the user types read as the operator's messages."""
import os
import sys
import time
from typing import Callable, Optional

from zandor_trader.console import Display, KeyboardReader, OrderFilter, Scroll, SessionView


def start_display(gateway, chat, pane, console, deadline: Optional[float], *,
                  typing: Callable[[], str], status: Callable[[], str], broker: str,
                  on_change: Callable[[], None]):
    """The display of the session's gateway and chat, started: (display, scroll, order filter).
    A display whose first draw fails leaves the terminal restored before the error goes on."""
    scroll, order_filter = Scroll(), OrderFilter()
    view = SessionView(gateway=gateway, chat=chat, log=pane, started=time.monotonic(),
                       deadline=deadline, typing=typing, status=status, scroll=scroll,
                       orders=order_filter, broker=broker)
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
    gateway.add_listener(lambda kind, record: on_change())
    return display, scroll, order_filter


def start_keyboard(server, chat_id, token, keys: bool, on_change, scroll, orders):
    """What the user types, posted to the local server as the operator's messages (POSIX,
    with a standard input); None where there is nothing to read."""
    try:
        fd = sys.stdin.fileno()
    except (AttributeError, ValueError, OSError):  # no standard input to read
        return None
    if os.name != "posix":  # waiting on the console and a wake-up together needs POSIX
        return None

    def post(line: str) -> None:
        server.post_message(line, chat_id, token=token)

    return KeyboardReader(fd, post, on_change=on_change, keys=keys, scroll=scroll,
                          orders=orders).start()
