"""The gateway's look-ups of the component's own figures and states, beside what the adapter
hands over: each instrument's tick size and tick value, the state of the gateway and data
connections (and since when one is down), and the component's clock."""
import datetime
import threading
from decimal import Decimal
from typing import Any, Callable, Dict, List, Optional

from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg import component


class ComponentLookupsMixin:
    """Kept by the gateway (CqgGateway sets these up): tick sizes and values by CQG symbol,
    the links' states, the component's refusals; read on any thread unless said otherwise."""

    _lock: threading.Lock  # guards the links' states and the listeners
    _listeners: List[Callable[[str, Any], object]]
    _closing: bool
    _ticks: Dict[str, Decimal]
    _tick_values: Dict[str, Decimal]
    _refused: Dict[str, str]
    _links: Dict[str, Optional[bool]]
    _down_since: Dict[str, datetime.datetime]
    _by_security: Dict[Security, str]
    link_drops: int
    ambrel: Any

    def _learn_tick_size(self, symbol: str, instrument) -> None:
        # Not known: priced orders are refused and open P&L is not shown, never guessed.
        tick, value = component.tick_figures(instrument)
        if tick is not None:
            self._ticks.setdefault(symbol, tick)
        if value is not None:
            self._tick_values.setdefault(symbol, value)

    def instrument_refused(self, symbol: str, why: str) -> None:
        """The component could not resolve `symbol` (its thread)."""
        self._refused[symbol] = why

    def link_changed(self, link: str, up: Optional[bool]) -> None:
        """The gateway or data connection went up (True) or down (False) (the component's
        thread). Listeners hear of a drop while the session runs and of the return after it."""
        if up is None:
            return
        with self._lock:
            before, self._links[link] = self._links.get(link), up
            if up:
                self._down_since.pop(link, None)
            elif before is not False:
                self._down_since[link] = datetime.datetime.now()
            listeners = list(self._listeners)
        if self._closing or before is None or before == up:
            return
        if link == "gateway" and not up:
            self.link_drops += 1
        for callback in listeners:
            callback("link", (link, up))

    # -- what the engine checks orders against -----------------------------------------------
    def down_since(self, link: str = "gateway") -> Optional[datetime.datetime]:
        """The local time `link` went down, while it is down; None while it is up."""
        with self._lock:
            return self._down_since.get(link) if self._links.get(link) is False else None

    def tick_size(self, security: Security) -> Optional[Decimal]:
        symbol = self._by_security.get(security)
        return self._ticks.get(symbol) if symbol is not None else None

    def point_value(self, security: Security) -> Optional[Decimal]:
        """Money a move of the price by 1 makes on one contract; None: not known."""
        symbol = self._by_security.get(security)
        tick, value = self._ticks.get(symbol or ""), self._tick_values.get(symbol or "")
        return value / tick if tick and value else None

    def market_time(self) -> Optional[datetime.datetime]:
        """The component's clock now (China time, as it is configured), or None when it cannot
        be read (the gateway's thread)."""
        return component.line_time(self.ambrel.cqgCEL) if self.ambrel else None

    def link_up(self, link: str = "gateway") -> bool:
        return bool(self._links.get(link))
