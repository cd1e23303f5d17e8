"""Orders as the broker has them, read from the component's order collection through the
interface handed over to the gateway's thread: instrument, side, quantity, type, prices,
status and fills, as host records. Used for orders the session did not place itself."""
import datetime as _dt
import threading
from dataclasses import dataclass, field
from datetime import datetime
from decimal import Decimal
from typing import Any, Callable, Dict, List, Optional

from zandor_trader.core.constants import Direction, Exchange, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.trading.trades import TradeLog


@dataclass
class BrokerOrder:
    order: Order  # with its id, status and what is filled
    account: int
    fills: List[dict] = field(default_factory=list)  # deal maps, as process_deal takes them


def _constants():
    import win32com.client
    return win32com.client.constants


def items(collection) -> list:
    """The members of a component collection, each wrapped for late-bound access."""
    import win32com.client
    collection = win32com.client.Dispatch(collection)
    members = (collection.Item(i) for i in range(int(collection.Count)))
    return [win32com.client.Dispatch(m) for m in members if m is not None]


def items_by_guid(cel, guid: str):
    import win32com.client
    return win32com.client.Dispatch(win32com.client.Dispatch(cel.Orders).ItemByGuid(guid))


def _whole_seconds(stamp) -> Optional[_dt.datetime]:
    if stamp is None:
        return None
    return _dt.datetime(stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute,
                        stamp.second)


def _price(value) -> Optional[Decimal]:
    """A price the component gives (a float; none, zero or below for none) as a decimal."""
    if value is None or isinstance(value, bool):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return Decimal(repr(number)) if number > 0 else None


def security_of(item, known: Callable[[str], Optional[Security]]) -> Security:
    """The traded security of the order's instrument, else one made from its name and
    exchange (the session does not trade it: it cannot be priced, but it is tracked)."""
    symbol = str(item.InstrumentName).rsplit(".", 1)[-1]
    security = known(symbol)
    if security is not None:
        return security
    try:
        exchange = Exchange(str(item.Instrument.ExchangeAbbreviation))
    except Exception:  # an instrument not resolved, or an exchange the host does not list
        exchange = Exchange.OTHER
    return Security(symbol, exchange)


def read(item, known: Callable[[str], Optional[Security]], status_of) -> BrokerOrder:
    """One component order (`item`, wrapped for late-bound access) as a BrokerOrder;
    `status_of` converts the component's order status."""
    c = _constants()
    side = {c.osdBuy: Direction.LONG, c.osdSell: Direction.SHORT}.get(item.Side)
    kind = {c.otLimit: OrderType.LIMIT, c.otMarket: OrderType.MARKET, c.otStop: OrderType.STOP,
            c.otStopLimit: OrderType.STOP}.get(item.Type, OrderType.MARKET)
    limit, stop = _price(item.LimitPrice), _price(item.StopPrice)
    guid = str(item.GUID)
    order = Order(security=security_of(item, known),
                  price=limit if kind in (OrderType.LIMIT, OrderType.STOP) else None,
                  quantity=int(item.Quantity), direction=side or Direction.NET,
                  order_type=kind, stop_price=stop if kind == OrderType.STOP else None,
                  order_id=guid, status=status_of(item.GWStatus),
                  filled_quantity=int(item.FilledQuantity or 0),
                  filled_avg_price=float(item.AverageFillPrice or 0))
    fills = []
    for fill in items(item.Fills):
        if fill.Status != c.fsNormal:
            continue
        fills.append({"deal_id": fill.Id, "order_id": guid,
                      "updated_time": _whole_seconds(fill.Timestamp),
                      "filled_avg_price": fill.Price, "filled_quantity": fill.Quantity})
    return BrokerOrder(order, int(item.GWAccountID), fills)


def _status_of(status):
    from zandor_trader.gateways.cqg.wrapper import vantor
    return vantor.convert_orderstatus_cqg2qt(status)


class BrokerOrdersMixin:
    """The gateway's side of the orders it did not place: which ids came unknown, and the
    broker's orders read on the gateway's thread."""

    trades: TradeLog
    ambrel: Any
    account_id: Optional[int]

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._unknown_lock = threading.Lock()
        # Ids the broker reported that the trade log does not keep (yet), in arrival order.
        self._unknown: Dict[str, None] = {}
        # The broker's reason for refusing the latest change (a cancel) of an order, by id.
        self._changes_refused: Dict[str, str] = {}

    def _tell(self, kind: str, record) -> None:
        raise NotImplementedError

    def get_qt_security_from_cqg_symbol(self, cqg_symbol: str) -> Optional[Security]:
        raise NotImplementedError

    def get_cqg_symbol(self, security) -> Optional[str]:
        raise NotImplementedError

    def order_seen(self, order_id) -> None:
        """The broker reported order `order_id` (any thread); one the trade log does not
        keep is learnt on the gateway's thread (``unknown_orders``), listeners are told."""
        if not isinstance(order_id, str) or self.trades.knows(order_id):
            return
        with self._unknown_lock:
            fresh = order_id not in self._unknown
            self._unknown[order_id] = None
        if fresh:
            self._tell("unknown_order", order_id)

    def change_refused(self, order_id: str, why: str) -> None:
        """The broker refused a change of order `order_id`, a cancel (the component's
        thread); listeners are told."""
        with self._unknown_lock:
            self._changes_refused[order_id] = why
            while len(self._changes_refused) > 1000:  # a few matter: the newest
                self._changes_refused.pop(next(iter(self._changes_refused)))
        self._tell("change_refused", (order_id, why))

    def change_refusal(self, order_id: str, forget: bool = False) -> Optional[str]:
        """Why the broker refused the latest change of the order, or None; `forget`: it is
        forgotten too (a new change is asked)."""
        with self._unknown_lock:
            if forget:
                return self._changes_refused.pop(order_id, None)
            return self._changes_refused.get(order_id)

    def unknown_orders(self) -> List[str]:
        """The ids reported since the last call that the trade log does not keep."""
        with self._unknown_lock:
            ids, self._unknown = list(self._unknown), {}
        return [i for i in ids if not self.trades.knows(i)]

    def broker_order(self, order_id: str) -> Optional[BrokerOrder]:
        """The broker's order `order_id` of this account, read from the component; None when
        the component does not have it or it belongs to another account."""
        ambrel = self.ambrel
        if ambrel is None:
            return None
        try:
            item = items_by_guid(ambrel.cqgCEL, order_id)
        except Exception:
            return None
        found = read(item, self.get_qt_security_from_cqg_symbol, _status_of)
        return found if found.account == self.account_id else None

    def broker_orders(self) -> List[BrokerOrder]:
        """Every order of this account that the component has, with its fills."""
        ambrel = self.ambrel
        if ambrel is None:
            return []
        found = [read(item, self.get_qt_security_from_cqg_symbol, _status_of)
                 for item in items(ambrel.cqgCEL.Orders)]
        return [b for b in found if b.account == self.account_id]

    def broker_time(self) -> Optional[datetime]:
        """The broker's clock now (China time, no zone), None when it cannot be read."""
        ambrel = self.ambrel
        try:
            stamp = ambrel.cqgCEL.LineTime if ambrel is not None else None
            return None if stamp is None else datetime(
                stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second)
        except Exception:
            return None

