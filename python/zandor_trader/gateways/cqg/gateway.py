"""CqgGateway: maps CQG symbols to securities and keeps what the adapter hands over."""
import threading
from collections import deque
from typing import Deque, Dict, Iterable, List, Optional

from zandor_trader.core.data import OrderBook, Quote
from zandor_trader.core.security import Security
from zandor_trader.gateways import BaseGateway


class CqgGateway(BaseGateway):
    """The gateway as the adapter sees it.

    ``securities`` maps each traded CQG symbol to its security. Every ``process_*`` call is
    kept, in order, in a bounded log (``history`` entries each) for the engine and for tests;
    the adapter calls them on the component's worker thread.
    """

    def __init__(self, securities: Dict[str, Security], gateway_name: str = "CQG",
                 history: int = 100_000):
        super().__init__(gateway_name)
        self.ambrel = None
        self._by_symbol: Dict[str, Security] = dict(securities)
        self._by_security: Dict[Security, str] = {s: c for c, s in securities.items()}
        # One entry per traded security before any data arrives, as the adapter requires.
        self.cqg_quotes: Dict[Security, Optional[Quote]] = {s: None for s in self._by_security}
        self.cqg_orderbooks: Dict[Security, Optional[OrderBook]] = {
            s: None for s in self._by_security}
        self._lock = threading.Lock()  # guards the logs below and the listeners
        self.quotes: Deque[Quote] = deque(maxlen=history)
        self.orderbooks: Deque[OrderBook] = deque(maxlen=history)
        self.order_updates: Deque[dict] = deque(maxlen=history)
        self.deals: Deque[dict] = deque(maxlen=history)
        self._listeners: List = []

    # -- symbol mapping -------------------------------------------------------------------
    def get_qt_security_from_cqg_symbol(self, cqg_symbol: str) -> Optional[Security]:
        return self._by_symbol.get(cqg_symbol)

    def get_cqg_symbol_from_qt_security(self, security: Security) -> str:
        return self._by_security[security]

    @property
    def cqg_symbols(self) -> Iterable[str]:
        return list(self._by_symbol)

    # -- what the adapter hands over -------------------------------------------------------
    def add_listener(self, callback) -> None:
        """``callback(kind, record)`` runs after each hand-over, on the handing thread."""
        with self._lock:
            self._listeners.append(callback)

    def _keep(self, log: Deque, kind: str, record) -> None:
        with self._lock:
            log.append(record)
            listeners = list(self._listeners)
        for callback in listeners:
            callback(kind, record)

    def process_quote(self, quote: Quote) -> None:
        self._keep(self.quotes, "quote", quote)

    def process_orderbook(self, orderbook: OrderBook) -> None:
        self._keep(self.orderbooks, "orderbook", orderbook)

    def process_order(self, update: dict) -> None:
        self._keep(self.order_updates, "order", update)

    def process_deal(self, deal: dict) -> None:
        self._keep(self.deals, "deal", deal)
