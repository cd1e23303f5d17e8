"""Starting the live display on the session's terminal, and giving the terminal back as it was
when the display cannot start."""
import time
from typing import Callable, Optional

from zandor_trader.console import Display, OrderFilter, Scroll, SessionView


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
