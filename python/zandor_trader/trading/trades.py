"""TradeLog: the gateway's orders and deals as host records, built from what the adapter reports."""
import copy
import itertools
import threading
from collections import OrderedDict, deque
from typing import Deque, Dict, Iterable, List, Optional, Protocol, Tuple

from zandor_trader.core.constants import OrderStatus
from zandor_trader.core.order import Deal, Order

ALIVE = (OrderStatus.UNKNOWN, OrderStatus.SUBMITTED)
ENDED_UNFILLED = (OrderStatus.CANCELLED, OrderStatus.FAILED)


def is_alive(order: Order) -> bool:
    return order.status in ALIVE


class PlacementTimedOut(RuntimeError):
    """The broker did not confirm a placement in time: the order may or may not be working."""


class Recorder(Protocol):
    """Where the trade log's orders and updates are recorded as they come (the journal)."""

    def order(self, order: Order, origin: str) -> None: ...

    def order_update(self, update: dict) -> None: ...


class TimedOut:
    """A placement whose outcome is not known yet: `order` as it was asked, since `since`
    (on the clock of whoever watches it; None until it is watched), when the gateway
    connection had dropped `link_drops` times."""

    def __init__(self, order: Order, since: Optional[float], link_drops: int = 0):
        self.order = order
        self.since = since
        self.link_drops = link_drops

    def matches(self, other: Order) -> bool:
        mine = self.order
        return (mine.security == other.security and mine.direction == other.direction
                and mine.order_type == other.order_type
                and int(mine.quantity) == int(other.quantity)
                and _same_price(mine.price, other.price)
                and _same_price(mine.stop_price, other.stop_price))


def _same_price(a, b) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return abs(float(a) - float(b)) <= 1e-9 * max(1.0, abs(float(a)))


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
        # The orders still working, in placing order: listing them costs what is live, not
        # what is kept.
        self._alive: "OrderedDict[Optional[str], Order]" = OrderedDict()
        self._early: Dict[str, List[dict]] = {}  # updates of ids not registered yet
        self._deals: Deque[Deal] = deque(maxlen=history)
        self._deal_count = 0  # deals ever reported, also those the bounded log dropped
        # Orders that ended without being filled (cancelled, rejected, expired), as they ended.
        self._ended: Deque[Order] = deque(maxlen=history)
        self._ended_count = 0
        self._history = history
        self._timed_out: List[TimedOut] = []  # placements of unknown outcome, oldest first
        self.recorder: Optional[Recorder] = None  # told of every order kept and update

    def register(self, order: Order, order_id: str, origin: str = "placed") -> Order:
        """Keeps `order` under `order_id` and applies what was reported for it already."""
        if self.recorder is not None:
            self.recorder.order(_with_id(order, order_id), origin)
        with self._lock:
            order.order_id = order_id
            order.gateway_name = self.gateway_name
            for update in self._early.pop(order_id, ()):
                self._apply(order, update)
            self._note_end(order, OrderStatus.UNKNOWN)
            for deal in self._deals:
                if deal.order_id == order_id and deal.security is None:
                    deal.security, deal.direction = order.security, order.direction
            self._orders[order_id] = order
            self._track_alive(order)
            while len(self._orders) > self._history:
                _, dropped = self._orders.popitem(last=False)
                self._alive.pop(dropped.order_id, None)
        return order

    def _track_alive(self, order: Order) -> None:
        if is_alive(order):
            self._alive[order.order_id] = order
        else:
            self._alive.pop(order.order_id, None)

    def update(self, update: dict) -> bool:
        """Applies an update; False when its order is not kept (yet)."""
        order_id = update.get("order_id")
        if order_id is None:  # nothing to put it on
            return True
        if self.recorder is not None:
            self.recorder.order_update(update)
        with self._lock:
            order = self._orders.get(order_id)
            if order is None:
                self._early.setdefault(order_id, []).append(update)
                while len(self._early) > self._history:
                    self._early.pop(next(iter(self._early)))
                return False
            before = order.status
            self._apply(order, update)
            self._track_alive(order)
            self._note_end(order, before)
            return True

    def knows(self, order_id: str) -> bool:
        with self._lock:
            return order_id in self._orders

    # -- orders the session did not place, and placements of unknown outcome -------------
    def adopt(self, order: Order, order_id: str) -> Tuple[Order, Optional[TimedOut]]:
        """Keeps an order the broker has that the session did not register: the timed-out
        placement it matches (oldest first) takes its id, else `order` as learnt from the
        broker. Returns the order kept and the placement it settled, if any."""
        with self._lock:
            placement = next((p for p in self._timed_out if p.matches(order)), None)
            if placement is not None:
                self._timed_out.remove(placement)
        if placement is None:
            return self.register(order, order_id, "adopted"), None
        # As asked, in the state the broker has it (the updates reported since come after).
        mine = copy.copy(placement.order)
        mine.status, mine.filled_quantity, mine.filled_avg_price, mine.updated_time = (
            order.status, order.filled_quantity, order.filled_avg_price, order.updated_time)
        return self.register(mine, order_id, "timed out"), placement

    def placement_timed_out(self, order: Order, since: Optional[float] = None,
                            link_drops: int = 0) -> TimedOut:
        placement = TimedOut(copy.copy(order), since, link_drops)
        with self._lock:
            self._timed_out.append(placement)
        return placement

    def timed_out(self) -> List[TimedOut]:
        """The placements whose outcome is not known yet, oldest first."""
        with self._lock:
            return list(self._timed_out)

    def settle(self, placement: TimedOut) -> bool:
        """Drops a placement now known not to have been placed; False if it was matched."""
        with self._lock:
            if placement in self._timed_out:
                self._timed_out.remove(placement)
                return True
            return False

    def restore_deals(self, deals: Iterable[Deal]) -> None:
        """Deals of earlier sessions, shown as before but never announced again: call before
        any deal of this session is reported."""
        with self._lock:
            for deal in deals:
                self._deals.append(deal)

    def _note_end(self, order: Order, before: OrderStatus) -> None:
        if order.status in ENDED_UNFILLED and before not in ENDED_UNFILLED:
            self._ended.append(copy.copy(order))
            self._ended_count += 1

    def ended_after(self, seen: int) -> Tuple[List[Order], int]:
        """As `deals_after`, for the orders that ended without a fill (copies as they were
        when they ended)."""
        with self._lock:
            fresh = min(self._ended_count - seen, len(self._ended))
            return _newest_copies(reversed(self._ended), fresh), self._ended_count

    @staticmethod
    def _apply(order: Order, update: dict) -> None:
        for name in ("status", "filled_quantity", "filled_avg_price", "updated_time", "reason"):
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

    def order_ids(self) -> List[str]:
        """The ids of the orders kept, oldest first."""
        with self._lock:
            return list(self._orders)

    def orders(self, active_only: bool = False) -> List[Order]:
        """The orders in placing order, oldest first."""
        with self._lock:
            # Copies: the component's thread goes on updating the kept records.
            return [copy.copy(o) for o in (self._alive if active_only else self._orders).values()]

    def newest_orders(self, n, active_only: bool = False) -> Tuple[List[Order], int]:
        """The newest `n` orders (copies, oldest of them first; none for a count of zero or
        below) and how many there are in all; the cost is that of `n`, not of the history."""
        with self._lock:
            kept = self._alive if active_only else self._orders
            return _newest_copies(reversed(kept.values()), min(int(n), len(kept))), len(kept)

    def newest_deals(self, n) -> Tuple[List[Deal], int]:
        """As `newest_orders`, for the deals kept."""
        with self._lock:
            deals = self._deals
            return _newest_copies(reversed(deals), min(int(n), len(deals))), len(deals)

    def deals(self) -> List[Deal]:
        """The deals kept, oldest first."""
        with self._lock:
            return [copy.copy(d) for d in self._deals]

    def deals_after(self, seen: int) -> Tuple[List[Deal], int]:
        """The deals reported after the first `seen` ever reported (as far as they are still
        kept), and the number reported so far."""
        with self._lock:
            fresh = min(self._deal_count - seen, len(self._deals))
            return _newest_copies(reversed(self._deals), fresh), self._deal_count


def _with_id(order: Order, order_id: str) -> Order:
    kept = copy.copy(order)
    kept.order_id = order_id
    return kept


def _newest_copies(newest_first: Iterable, n: int) -> list:
    taken = [copy.copy(item) for item in itertools.islice(newest_first, n)] if n > 0 else []
    taken.reverse()
    return taken

