"""CqgGateway: drives the CQG adapter, maps CQG symbols to securities, keeps what it hands over."""
import dataclasses
import datetime
import threading
from collections import OrderedDict, deque
from decimal import Decimal
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, Iterable, List, Optional

from zandor_trader.core.balance import AccountBalance
from zandor_trader.core.data import Bar, OrderBook, Quote
from zandor_trader.core.order import Order
from zandor_trader.core.position import PositionData
from zandor_trader.core.security import Security
from zandor_trader.gateways import BaseGateway
from zandor_trader.gateways.cqg.broker_orders import BrokerOrdersMixin
from zandor_trader.gateways.cqg.lookups import ComponentLookupsMixin
from zandor_trader.trading.trades import PlacementTimedOut, TradeLog

if TYPE_CHECKING:
    from zandor_trader.gateways.cqg.wrapper.Ambrel import Ambrel
    from zandor_trader.gateways.cqg.wrapper.vantor import Vantor


class CqgGateway(ComponentLookupsMixin, BrokerOrdersMixin, BaseGateway):
    """The gateway as the adapter sees it, and as the engine drives it.

    ``securities`` maps each traded CQG symbol to its security. Every ``process_*`` call is
    kept, in order, in a bounded log (``history`` entries each) for the engine and for tests;
    the adapter calls them on the component's worker thread. Orders placed through
    ``send_order`` and the updates and deals reported for them are kept in ``trades``.

    ``connect``, ``close`` and every ``send_``/``cancel_``/``query_`` call must run on one
    thread, the gateway's: the component's interface is handed over to that thread.
    """

    def __init__(self, securities: Dict[str, Security], gateway_name: str = "CQG",
                 history: int = 100_000, tick_sizes: Optional[Dict[str, Decimal]] = None,
                 log=print, tick_values: Optional[Dict[str, Decimal]] = None):
        super().__init__(gateway_name)
        self.log = log
        # Tick sizes by CQG symbol: as configured, else as the component reports them.
        self._ticks: Dict[str, Decimal] = dict(tick_sizes or {})
        self._refused: Dict[str, str] = {}  # symbol -> the component's reason (worker thread)
        # Order id -> the broker's reason for rejecting it, until its update comes (worker
        # thread).
        self._rejections: "OrderedDict[str, str]" = OrderedDict()
        self.left_out: Dict[str, str] = {}  # symbols the component did not know -> why
        self._links: Dict[str, Optional[bool]] = {"gateway": None, "data": None}
        self._down_since: Dict[str, datetime.datetime] = {}  # link -> local time it went down
        # Money per tick and contract by CQG symbol: as given, else as the component says.
        self._tick_values: Dict[str, Decimal] = dict(tick_values or {})
        self.link_drops = 0  # times the gateway connection went down while the session ran
        self._closing = False
        self.ambrel: Optional["Ambrel"] = None
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
        self._listeners: List[Callable[[str, Any], object]] = []
        self.trades = TradeLog(gateway_name, history)
        self.adapter: Optional[Vantor] = None
        self.account_id: Optional[int] = None
        # Snapshots taken by the query_* calls; each is replaced whole, never changed.
        self.account_balance: Optional[AccountBalance] = None
        self.positions: List[PositionData] = []
        self.bars: Dict[Security, List[Bar]] = {}

    # -- symbol mapping -------------------------------------------------------------------
    def get_qt_security_from_cqg_symbol(self, cqg_symbol: str) -> Optional[Security]:
        return self._by_symbol.get(cqg_symbol)

    def get_cqg_symbol_from_qt_security(self, security: Security) -> str:
        return self._by_security[security]

    def get_cqg_symbol(self, security) -> Optional[str]:
        """The CQG symbol of a traded security, None for any other."""
        return self._by_security.get(security)

    @property
    def cqg_symbols(self) -> Iterable[str]:
        return list(self._by_symbol)

    def find_security(self, code: str) -> Optional[Security]:
        """The traded security named by its code or its CQG symbol, in any letter case."""
        wanted = code.strip().upper()
        for symbol, security in self._by_symbol.items():
            if wanted in (symbol.upper(), security.code.upper()):
                return security
        return None

    # -- connection --------------------------------------------------------------------------
    def connect(self, user_name: str, password: str, account_id: int,
                bar_lookback: int = 10, configure=None, progid: Optional[str] = None) -> None:
        """Starts the component environment (the component registered as `progid`, by default
        the environment's own) with the adapter as its sink, logs on, subscribes quotes,
        order books and one-minute bars of every traded symbol, then the account. A symbol
        the component does not know is left out (see ``left_out``); none known is an error.
        Call ``close`` afterwards whether this succeeded or not."""
        from zandor_trader.gateways.cqg.sink import sink_type
        from zandor_trader.gateways.cqg.wrapper import Ambrel

        self.ambrel = Ambrel.Ambrel()
        if progid:
            self.ambrel.ProgID = progid
        adapter = self.ambrel.Init(sink_type(self), configure)
        if self.ambrel.errorHappened:
            raise ConnectionError("the CQG component reported an error while starting")
        adapter.Init(self)
        self.adapter = adapter
        adapter.Logon(user_name, password)
        for symbol in list(self._by_symbol):
            adapter.subscribe_quote(symbol)
            instrument = adapter.get_instrument_from_cqg_symbol(symbol)
            if instrument is None:
                self._leave_out(symbol)
                continue
            self._learn_tick_size(symbol, instrument)
            adapter.subscribe_orderbook(symbol)
            adapter.subscribe_bar(symbol, bar_lookback, "1Min")
        if not self._by_symbol:
            raise ConnectionError("the broker knows none of the instruments: "
                                  + "; ".join(f"{s}: {why}" for s, why in self.left_out.items()))
        adapter.subscribe_account_and_positions(account_id)
        self.account_id = account_id

    def _leave_out(self, symbol: str) -> None:
        why = self._refused.get(symbol, "not resolved")
        self.left_out[symbol] = why
        security = self._by_symbol.pop(symbol)
        self._by_security.pop(security, None)
        self.cqg_quotes.pop(security, None)
        self.cqg_orderbooks.pop(security, None)
        self.log(f"Instrument {symbol} is not known to the broker ({why}): left out of "
                 f"this session")

    def order_rejected(self, order_id: str, reason: str) -> None:
        """The broker rejected `order_id` for `reason`; its update follows (the component's
        thread)."""
        self._rejections[order_id] = reason
        while len(self._rejections) > _KEPT_REJECTIONS:  # updates that never came
            self._rejections.popitem(last=False)

    # -- what the engine checks orders against (and ComponentLookupsMixin's) ----------------
    def last_price(self, security: Security) -> Optional[Decimal]:
        """The last trade price, else the middle of the best bid and ask; None before data."""
        quote = self.cqg_quotes.get(security)
        if quote is None:
            return None
        if quote.last_price:
            return Decimal(repr(float(quote.last_price)))
        if quote.bid_price and quote.ask_price:
            return (Decimal(repr(float(quote.bid_price)))
                    + Decimal(repr(float(quote.ask_price)))) / 2
        return None

    def close(self) -> None:
        """Logs off (when an account was subscribed) and shuts the environment down."""
        self._closing = True  # the connection going down now is no news
        try:
            # Logging off needs the subscribed account; without one there is nothing to end.
            if self.adapter is not None and hasattr(self.adapter, "GWAccountID"):
                self.adapter.Logoff()
        finally:
            ambrel, self.ambrel = self.ambrel, None
            if ambrel is not None:
                ambrel.Shutdown()

    # -- requests (the gateway's thread) -----------------------------------------------------
    def _connected(self) -> "Vantor":
        if self.adapter is None:
            raise RuntimeError("the CQG gateway is not connected")
        return self.adapter

    def send_order(self, order: Order) -> str:
        """Places `order`; returns its id. The order is kept in ``trades`` from then on, with
        its prices as given; the component takes binary floating point."""
        try:
            order_id = self._connected().place_order(dataclasses.replace(
                order, price=_component_price(order.price),
                stop_price=_component_price(order.stop_price)))
        except RuntimeError as exc:
            if not str(exc).startswith("Order placing timeout!"):
                raise
            # The broker may have it all the same: kept until it shows up or surely not.
            self.trades.placement_timed_out(order, link_drops=self.link_drops)
            raise PlacementTimedOut(str(exc)) from exc
        self.trades.register(order, order_id)
        return order_id

    def cancel_order(self, order_id: str) -> None:
        self._connected().cancel_order(order_id)

    def query_account(self) -> AccountBalance:
        adapter = self._connected()
        adapter.update_account_balance()
        self.account_balance = balance = adapter.account_balance
        return balance

    def query_positions(self) -> List[PositionData]:
        adapter = self._connected()
        adapter.update_positions()
        self.positions = list(adapter.positions)
        return self.positions

    def query_bars(self) -> Dict[Security, List[Bar]]:
        """The completed bars of every traded security (those whose bars can be read)."""
        adapter = self._connected()
        bars = {}
        for security in self._by_security:
            try:
                window = adapter.get_subscribe_bars_data(security)
            except ValueError:  # the newest bar has no value yet: keep the last good window
                window = self.bars.get(security)
            if window:
                bars[security] = list(window)
        self.bars = bars
        return bars

    # -- what the adapter hands over -------------------------------------------------------
    def add_listener(self, callback: Callable[[str, Any], object]) -> None:
        """``callback(kind, record)`` runs after each hand-over, on the handing thread."""
        with self._lock:
            self._listeners.append(callback)

    def _tell(self, kind: str, record) -> None:
        with self._lock:
            listeners = list(self._listeners)
        for callback in listeners:
            callback(kind, record)

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
        reason = self._rejections.pop(str(update.get("order_id")), None) \
            if self._rejections else None
        if reason is not None:
            update["reason"] = reason
        if not self.trades.update(update):
            self.order_seen(update.get("order_id"))
        self._keep(self.order_updates, "order", update)

    def process_deal(self, deal: dict) -> None:
        self.trades.deal(deal)
        self._keep(self.deals, "deal", deal)


_KEPT_REJECTIONS = 1000


def _component_price(value):
    return float(value) if isinstance(value, Decimal) else value
