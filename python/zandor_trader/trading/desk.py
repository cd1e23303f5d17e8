"""What the request handlers work with. The engine is the one desk of a session; the handlers
see only this, so that they can be read and tested without the engine's loop."""
from typing import Any, Callable, Dict, Optional, Protocol

from zandor_trader.core.security import Security
from zandor_trader.trading.pretrade import Limits
from zandor_trader.trading.questions import Questions
from zandor_trader.trading.risk import DailyRisk


class Desk(Protocol):
    # The session's gateway (a CqgGateway): queries, orders, the trade log.
    gateway: Any
    limits: Limits
    max_positions: Dict[Security, int]  # the position limit where it differs per security
    log: Callable[[str], None]  # a notice on the terminal (the trace), one line each
    clock: Callable[[], float]  # the engine's clock (monotonic seconds)
    risk: DailyRisk  # the daily loss limit and the operator's halt
    questions: Questions  # what the operator is asked to confirm

    def reply(self, text: str, on_sent: Optional[Callable[[], None]] = None) -> None:
        """Queues `text` for the operator; returns at once."""

    def check_risk(self) -> None:
        """Takes the day's P&L as it is now; tells the operator when the loss limit is
        reached (and flattens, when the settings say so)."""
