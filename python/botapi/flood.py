"""Telegram's flood control as the local server plays it: send rates per chat and overall."""
import dataclasses
import math
from typing import Optional


@dataclasses.dataclass(frozen=True)
class FloodLimit:
    """How fast one bot may send: `per_chat` messages a second to one chat and `overall` a
    second in all, each after a burst of `chat_burst` / `overall_burst` messages. The defaults
    are Telegram's: one a second to a chat (a short burst tolerated), thirty a second in all.

    The rule: sends to a chat are spaced 1/per_chat seconds apart on average, measured
    between the moments the server takes them. A send may come up to `tolerance` of that
    spacing early (time a request spends in flight varies), so a client that waits the full
    spacing after its previous send, from its end or even from its start, is never refused;
    early sends still count in full, so no client gets more than the rate over time.

    A send over the limit is answered 429 with `retry_after`: that many seconds when given
    (tests keep it small), else the wait until the send would pass, rounded up to whole
    seconds as Telegram answers."""

    per_chat: float = 1.0
    overall: float = 30.0
    chat_burst: int = 3
    overall_burst: int = 30
    retry_after: Optional[float] = None
    tolerance: float = 0.1

    def __post_init__(self):
        for name in ("per_chat", "overall"):
            value = getattr(self, name)
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise ValueError(f"{name} must be a positive number of messages a second")
        for name in ("chat_burst", "overall_burst"):
            if not (isinstance(getattr(self, name), int) and getattr(self, name) >= 1):
                raise ValueError(f"{name} must be a whole number of at least 1")
        if self.retry_after is not None and not (
                isinstance(self.retry_after, (int, float)) and 0 < self.retry_after < math.inf):
            raise ValueError("retry_after must be a positive number of seconds")
        if not (isinstance(self.tolerance, (int, float)) and 0 <= self.tolerance < 1):
            raise ValueError("tolerance must be a fraction of the spacing, from 0 to below 1")


class _Pace:
    """One rate as a schedule (the generic cell rate algorithm): `due` is when the next send
    would be on time if sends had kept exactly to the rate. Comparing moments, rather than
    adding up fractions of a token, leaves no rounding that could refuse a send on time."""

    __slots__ = ("due",)

    def __init__(self, now):
        self.due = now

    def wait(self, spacing, burst, tolerance, now):
        """Seconds until a send passes: it may come a burst's worth of spacing early."""
        return self.due - (burst - 1) * spacing - tolerance * spacing - now

    def take(self, spacing, now):
        self.due = max(self.due, now) + spacing

    def idle(self, now):
        return self.due <= now


class FloodGate:
    """One bot's send history as the limit sees it. Every access holds the server's lock."""

    # Chats whose schedule has caught up with the clock are forgotten once this many are kept.
    _PRUNE_AT = 1024

    def __init__(self):
        self._chats = {}
        self._overall = None

    def admit(self, limit, chat_id, now):
        """Counts a send to `chat_id` at `now` (monotonic seconds) and returns None, or returns
        the retry_after to answer when the send is over the limit (it is then not counted)."""
        if self._overall is None:
            self._overall = _Pace(now)
        chat = self._chats.get(chat_id)
        if chat is None:
            if len(self._chats) >= self._PRUNE_AT:
                self._prune(now)
            chat = self._chats[chat_id] = _Pace(now)
        chat_spacing, overall_spacing = 1.0 / limit.per_chat, 1.0 / limit.overall
        wait = max(chat.wait(chat_spacing, limit.chat_burst, limit.tolerance, now),
                   self._overall.wait(overall_spacing, limit.overall_burst, limit.tolerance,
                                      now))
        if wait > 0:
            return limit.retry_after if limit.retry_after is not None else max(1, math.ceil(wait))
        chat.take(chat_spacing, now)
        self._overall.take(overall_spacing, now)
        return None

    def _prune(self, now):
        for chat_id in [c for c, pace in self._chats.items() if pace.idle(now)]:
            del self._chats[chat_id]
