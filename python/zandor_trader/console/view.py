"""What the display reads of the session, and what the keyboard moves: the chat pane's
scrollback, the orders panel's filter and the button chosen among a question's."""
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Optional, Tuple

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


class ButtonChoice:
    """The button the keyboard chose among those of the newest message that shows any (a
    question's Confirm and Cancel): Left and Right move, Enter presses it through `press`
    (message id, button text). Nothing is chosen until a key moves, so that Enter alone
    presses nothing; a new question starts unchosen."""

    def __init__(self, chat: "ChatLog", press: Callable[[int, str], None]):
        self.chat = chat
        self.press_button = press
        self._chosen: Optional[Tuple[int, int]] = None  # (message id, button's place)

    def _labels(self):
        shown = self.chat.pressable()
        if shown is None:
            return None, []
        return shown[0], [label for row in shown[1] for label in row]

    def chosen(self) -> Optional[Tuple[int, int]]:
        """(message id, place of the chosen button), while that message shows its buttons."""
        message_id, labels = self._labels()
        if self._chosen is None or self._chosen[0] != message_id or not labels:
            return None
        return self._chosen

    def move(self, step: int) -> bool:
        """Chooses the next button (`step` 1) or the one before (-1); False when none shows."""
        message_id, labels = self._labels()
        if message_id is None or not labels:
            return False
        now = self.chosen()
        place = (0 if step > 0 else len(labels) - 1) if now is None else \
            min(max(now[1] + step, 0), len(labels) - 1)
        self._chosen = (message_id, place)
        return True

    def press(self) -> bool:
        """Presses the chosen button; False when none is chosen."""
        chosen = self.chosen()
        if chosen is None:
            return False
        labels = self._labels()[1]
        self._chosen = None
        self.press_button(chosen[0], labels[chosen[1]])
        return True

    def press_label(self, text: str) -> bool:
        """Presses the button of the newest question labelled `text` (any letter case), as
        typed on a line of its own; False when it shows none such."""
        message_id, labels = self._labels()
        for label in labels:
            if message_id is not None and label.lower() == text.strip().lower():
                self._chosen = None
                self.press_button(message_id, label)
                return True
        return False


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
    buttons: Optional[ButtonChoice] = None  # a question's buttons, chosen with the keyboard
