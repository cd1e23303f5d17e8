"""TradeLog: the gateway's orders and deals as host records, built from what the adapter reports."""
import copy
import threading
from collections import OrderedDict, deque
from typing import Deque, Dict, List, Optional, Tuple

from zandor_trader.core.constants import OrderStatus
from zandor_trader.core.order import Deal, Order

ALIVE = (OrderStatus.UNKNOWN, OrderStatus.SUBMITTED)


def is_alive(order: Order) -> bool:
    return order.status in ALIVE


class TradeLog:
    """Orders placed through the gateway, their updates, and the deals done.

    The adapter reports an order's first updates and fills on the component's thread, often
    before the placing thread has the order's id back; those wait here until the order is
    registered, so nothing reported early is lost. Updates and deals of orders never
    registered here (entered elsewhere) are kept as they came, the deals without security.
    """

    def __init__(self, gateway_name: str, history: int = 10_000):
        self.gateway_name = gateway_name
        self._lock = threading.Lock()  # guards every member below
        self._orders: "OrderedDict[str, Order]" = OrderedDict()
        self._early: Dict[str, List[dict]] = {}  # updates of ids not registered yet
        self._deals: Deque[Deal] = deque(maxlen=history)
        self._deal_count = 0  # deals ever reported, also those the bounded log dropped
        self._history = history

    def register(self, order: Order, order_id: str) -> Order:
        """Keeps `order` under `order_id` and applies what was reported for it already."""
        with self._lock:
            order.order_id = order_id
            order.gateway_name = self.gateway_name
            for update in self._early.pop(order_id, ()):
                self._apply(order, update)
            for deal in self._deals:
                if deal.order_id == order_id and deal.security is None:
                    deal.security, deal.direction = order.security, order.direction
            self._orders[order_id] = order
            while len(self._orders) > self._history:
                self._orders.popitem(last=False)
        return order

    def update(self, update: dict) -> None:
        order_id = update.get("order_id")
        if order_id is None:  # nothing to put it on
            return
        with self._lock:
            order = self._orders.get(order_id)
            if order is None:
                self._early.setdefault(order_id, []).append(update)
                while len(self._early) > self._history:
                    self._early.pop(next(iter(self._early)))
            else:
                self._apply(order, update)

    @staticmethod
    def _apply(order: Order, update: dict) -> None:
        for name in ("status", "filled_quantity", "filled_avg_price", "updated_time"):
            setattr(order, name, update.get(name, getattr(order, name)))

    def deal(self, report: dict) -> Deal:
        with self._lock:
            order = self._orders.get(report.get("order_id", ""))
            deal = Deal(
                deal_id=report.get("deal_id"), order_id=report.get("order_id"),
                security=order.security if order else None,
                direction=order.direction if order else None,
                filled_avg_price=report.get("filled_avg_price", 0),
                filled_quantity=report.get("filled_quantity", 0),
                updated_time=report.get("updated_time"), gateway_name=self.gateway_name)
            self._deals.append(deal)
            self._deal_count += 1
        return deal

    def get(self, order_id: str) -> Optional[Order]:
        with self._lock:
            order = self._orders.get(order_id)
            return copy.copy(order) if order else None

    def orders(self, active_only: bool = False) -> List[Order]:
        """The orders in placing order, oldest first."""
        with self._lock:
            # Copies: the component's thread goes on updating the kept records.
            return [copy.copy(o) for o in self._orders.values() if is_alive(o) or not active_only]

    def deals(self) -> List[Deal]:
        """The deals kept, oldest first."""
        with self._lock:
            return [copy.copy(d) for d in self._deals]

    def deals_after(self, seen: int) -> Tuple[List[Deal], int]:
        """The deals reported after the first `seen` ever reported (as far as they are still
        kept), and the number reported so far."""
        with self._lock:
            fresh = min(self._deal_count - seen, len(self._deals))
            deals = list(self._deals)[len(self._deals) - fresh:] if fresh > 0 else []
            return [copy.copy(d) for d in deals], self._deal_count


def newest(items: list, n) -> list:
    """The last `n` items; none for a count of zero or below."""
    n = int(n)
    return items[-n:] if n > 0 else []
