"""The operator's requests as the engine takes them: one object each, whatever brought it."""
from dataclasses import dataclass, field
from typing import Any, Dict, Tuple

# The bot's status field: /stop sets it to TERMINATED, the intake puts it back to RUNNING once
# the request is taken, and the engine sets TERMINATED again when it really ends.
RUNNING = "Running"
TERMINATED = "Terminated"


@dataclass(frozen=True)
class Request:
    # A request flag of the bot ("get_balance", ...), "stop", "answer" (params: "text") or
    # "call" (params: "action", a callable returning the answer).
    kind: str
    params: Dict[str, Any] = field(default_factory=dict)
    seq: int = 0  # arrival number, from 1, in the order the operator's updates were handled
    text: str = ""  # the operator's message the request came from ("" when not known)
    args: Tuple[str, ...] = ()  # its words after the command
