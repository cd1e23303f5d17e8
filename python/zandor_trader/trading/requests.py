"""The operator's requests as the engine takes them: one object each, whatever brought it."""
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple

# The bot's status field: /stop sets it to TERMINATED, the intake puts it back to RUNNING once
# the request is taken, and the engine sets TERMINATED again when it really ends.
RUNNING = "Running"
TERMINATED = "Terminated"
STOP = "stop"
ANSWER = "answer"  # the session's own answer (help, hints), sent in its turn
CALL = "call"  # the session's own action (a drill), run in its turn; it returns its answer
# The one answer of a request that comes when the session is already ending.
NOT_SERVED = "Not served: the session is ending"


def unserved_answer(request: "Request") -> Optional[str]:
    """What a request that can no longer be served is answered: the session's own answer as
    it is; a /stop nothing (the session's summary answers it); any other NOT_SERVED."""
    if request.kind == ANSWER:
        return str(request.params.get("text", ""))
    return None if request.kind == STOP else NOT_SERVED


@dataclass(frozen=True)
class Request:
    # A request flag of the bot ("get_balance", ...), "stop", "answer" (params: "text") or
    # "call" (params: "action", a callable returning the answer).
    kind: str
    params: Dict[str, Any] = field(default_factory=dict)
    seq: int = 0  # arrival number, from 1, in the order the operator's updates were handled
    text: str = ""  # the operator's message the request came from ("" when not known)
    args: Tuple[str, ...] = ()  # its words after the command
