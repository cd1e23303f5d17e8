"""What the display reads of the session, and what the keyboard moves: the chat pane's
scrollback and the orders panel's filter."""
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Optional

if TYPE_CHECKING:
    from zandor_trader.chat import ChatLog
    from zandor_trader.console.log_pane import LogPane
    from zandor_trader.gateways.cqg.gateway import CqgGateway


class Scroll:
    """How far back the chat pane is scrolled, in pages (0: the newest lines in view). The
    keyboard moves it; the display bounds it by what there is to show."""

    def __init__(self):
        self.pages = 0
        self.limit: Optional[int] = None  # written by the display's thread

    def up(self) -> None:
        if self.limit is None or self.pages < self.limit:
            self.pages += 1

    def down(self) -> None:
        self.pages = max(self.pages - 1, 0)

    def end(self) -> None:
        self.pages = 0


class OrderFilter:
    """Whether the orders panel shows the working orders only; a key toggles it."""

    def __init__(self, working_only: bool = False):
        self.working_only = working_only

    def toggle(self) -> None:
        self.working_only = not self.working_only


@dataclass
class SessionView:
    """What the display reads; every part is safe to read from the display's thread."""
    gateway: "CqgGateway"      # quotes, books, snapshots, trades
    chat: "ChatLog"
    log: "LogPane"
    # The line the operator is typing; None when the terminal takes no commands (they come
    # from Telegram): no input line then.
    typing: Optional[Callable[[], str]]
    started: float             # time.monotonic() at the start
    deadline: Optional[float] = None
    status: Callable[[], str] = lambda: "Running"
    scroll: Optional[Scroll] = None  # the chat's scrollback
    broker: str = "simulated CQG"  # what the header names
    # Since when (time.time()) the Bot API cannot be reached; None while it can.
    chat_offline: Callable[[], Optional[float]] = lambda: None
    orders: Optional[OrderFilter] = None  # the orders panel: all, or the working ones only
