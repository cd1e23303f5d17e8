"""Taking the operator's requests off the bot's shared fields: each one once, whole, in order.

The bot's command handlers (on the client library's dispatch thread) raise a flag and write
its parameters one after another, with no lock; /send_order and /cancel_order raise the flag
first. A reader that took a raised flag between those writes would act on the parameters of
an earlier request. The gate closes that gap: it is held from the start of an operator's
update to the end of its dispatch, and the engine takes requests only while holding it.
"""
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

# The request flags, in the order requests are served; each with the fields that go with it.
FLAGS = (
    ("get_balance", ()),
    ("get_positions", ()),
    ("get_orders", ("active_orders", "num_orders_displayed")),
    ("get_deals", ("num_deals_displayed",)),
    ("cancel_order", ("cancel_order_id", "gateway_name")),
    ("cancel_orders", ()),
    ("send_order", ("order_string",)),
    ("close_positions", ("close_positions_gateway_name",)),
)
# Options that hold for the request they came with only: put back once it has been taken.
RESET_AFTER: Dict[str, Dict[str, object]] = {"get_orders": {"active_orders": False},
               "close_positions": {"close_positions_gateway_name": None}}
TERMINATED = "Terminated"


@dataclass(frozen=True)
class Request:
    kind: str  # a flag of FLAGS, or "stop"
    params: Dict[str, Any] = field(default_factory=dict)


class DispatchGate:
    """Held by the dispatch thread from the start to the end of each operator update.

    `begin` must run before the bot's handlers (an earlier dispatcher group) and `end` after
    them (a later group); the dispatcher runs the later groups even when a handler failed.
    Updates from other chats are stopped by the bot before its handlers run and before `end`,
    so they must not take the gate: `operator_chat` says which chat is served.
    """

    def __init__(self, operator_chat: Optional[int]):
        self.operator_chat = operator_chat
        self._lock = threading.Lock()
        self._held = False  # written by the dispatch thread only

    def _from_operator(self, update) -> bool:
        chat = getattr(update, "effective_chat", None)
        return self.operator_chat is not None and chat is not None and chat.id == self.operator_chat

    def begin(self, update, context=None) -> bool:
        """Takes the gate for an operator's update; tells whether the update is one."""
        if not self._from_operator(update):
            return False
        if not self._held:
            self._lock.acquire()
            self._held = True
        return True

    def end(self, update=None, context=None) -> None:
        if self._held:
            self._held = False
            self._lock.release()

    def acquire(self, timeout: float) -> bool:
        return self._lock.acquire(timeout=timeout)

    def release(self) -> None:
        self._lock.release()


def take_requests(bot) -> List[Request]:
    """Every raised request, its flag lowered and its fields read in the same step; the stop
    request last. Call it while holding the gate."""
    requests = []
    for flag, fields in FLAGS:
        if not getattr(bot, flag):
            continue
        setattr(bot, flag, False)
        requests.append(Request(flag, {f: getattr(bot, f) for f in fields}))
        for name, value in RESET_AFTER.get(flag, {}).items():
            setattr(bot, name, value)
    if bot.zandor_trader_status == TERMINATED:
        requests.append(Request("stop"))
    return requests
