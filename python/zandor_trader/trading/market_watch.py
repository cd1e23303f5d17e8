"""Watching that market data keeps coming: an instrument quiet for longer than `stale_after`
seconds is told to the operator once, and so is its return."""
from typing import Callable, Dict, Iterable, Optional, Set


class MarketWatch:
    """Times are the engine's clock, given by the caller. `reply(text)` tells the operator.
    `stale_after` None or 0: not watched (the data's times are still noted)."""

    def __init__(self, reply: Callable[[str], None], stale_after: Optional[float] = None):
        self.reply = reply
        self.stale_after = stale_after or None
        # Last data by security; written by the component's thread.
        self._seen: Dict[object, float] = {}
        self._stale: Set[object] = set()  # securities the operator was told are stale

    def start(self, securities: Iterable[object], now: float) -> Optional[float]:
        """Every traded instrument counts as fresh `now`; the time of the first check, or
        None when the data is not watched."""
        if not self.stale_after:
            return None
        for security in list(securities):
            self._seen.setdefault(security, now)
        return now + self.period()

    def period(self) -> float:
        """Seconds between two checks (asked only while the data is watched)."""
        return max((self.stale_after or 0.0) / 4, 0.05)

    def saw(self, security, now: float) -> bool:
        """Any thread: data of `security` came `now`. True when it had been told stale, so
        that its return is told at once."""
        self._seen[security] = now
        return bool(self._stale) and security in self._stale

    def any_stale(self) -> bool:
        return bool(self._stale)

    def check(self, now: float) -> None:
        """Tells the operator of each instrument whose data stopped longer than `stale_after`
        ago, once, and of each that came back."""
        stale_after = self.stale_after
        if not stale_after:  # not watched
            return
        for security, seen in list(self._seen.items()):
            quiet = now - seen
            if quiet > stale_after and security not in self._stale:
                self._stale.add(security)
                self.reply(f"Market data of {security} is stale: nothing for {quiet:.0f} s.")
            elif quiet <= stale_after and security in self._stale:
                self._stale.discard(security)
                self.reply(f"Market data of {security} is flowing again.")
