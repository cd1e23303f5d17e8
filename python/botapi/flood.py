"""Telegram's flood control as the local server plays it: send rates per chat and overall."""
import dataclasses
import math
from typing import Optional


@dataclasses.dataclass(frozen=True)
class FloodLimit:
    """How fast one bot may send: `per_chat` messages a second to one chat and `overall` a
    second in all, each after a burst of `chat_burst` / `overall_burst` messages. A send over
    the limit is answered 429 with `retry_after`: that many seconds when given (tests keep it
    small), else the time until the send would pass, rounded up to whole seconds as Telegram
    answers."""

    per_chat: float = 1.0
    overall: float = 30.0
    chat_burst: int = 1
    overall_burst: int = 30
    retry_after: Optional[float] = None

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


class _Bucket:
    """A token bucket: `burst` sends at once, refilled at `rate` a second."""

    __slots__ = ("tokens", "stamp")

    def __init__(self, burst, now):
        self.tokens = float(burst)
        self.stamp = now

    def refill(self, rate, burst, now):
        self.tokens = min(float(burst), self.tokens + (now - self.stamp) * rate)
        self.stamp = now
        return self.tokens

    def wait(self, rate):
        """Seconds until a send passes (after refill)."""
        return max(0.0, (1.0 - self.tokens) / rate)


class FloodGate:
    """One bot's send history as the limit sees it. Every access holds the server's lock."""

    # Chats whose bucket is full again are forgotten once this many are tracked.
    _PRUNE_AT = 1024

    def __init__(self):
        self._chats = {}
        self._overall = None

    def admit(self, limit, chat_id, now):
        """Counts a send to `chat_id` at `now` (monotonic seconds) and returns None, or returns
        the retry_after to answer when the send is over the limit (it is then not counted)."""
        if self._overall is None:
            self._overall = _Bucket(limit.overall_burst, now)
        chat = self._chats.get(chat_id)
        if chat is None:
            if len(self._chats) >= self._PRUNE_AT:
                self._prune(limit, now)
            chat = self._chats[chat_id] = _Bucket(limit.chat_burst, now)
        chat.refill(limit.per_chat, limit.chat_burst, now)
        self._overall.refill(limit.overall, limit.overall_burst, now)
        wait = max(chat.wait(limit.per_chat), self._overall.wait(limit.overall))
        if wait > 0:
            return limit.retry_after if limit.retry_after is not None else max(1, math.ceil(wait))
        chat.tokens -= 1.0
        self._overall.tokens -= 1.0
        return None

    def _prune(self, limit, now):
        for chat_id in [c for c, b in self._chats.items()
                        if b.refill(limit.per_chat, limit.chat_burst, now) >= limit.chat_burst]:
            del self._chats[chat_id]
