"""Accounts and orders on the component's thread: placing, matching, fills, cancels, and the
balance and positions that follow the fills."""
import uuid

from cqgsim import constants as C
from cqgsim.accounts import Account, Position
from cqgsim.objects import Instrument
from cqgsim.orders import Fill, Order, OrderProperties

WORKING = frozenset({C.osInOrderBook})


class Trading:
    def __init__(self, core):
        self._core = core
        self._accounts = {}  # GW account id -> Account, made on the first reload
        self._fill_ids = 0

    # -- accounts ------------------------------------------------------------------------
    def reload_accounts(self):
        core = self._core
        for spec in core.config.accounts:
            if spec.gw_account_id not in self._accounts:
                account = self._accounts[spec.gw_account_id] = Account(core, spec)
                core.accounts._items.append(account)
        core.fire("OnAccountChanged", C.actAccountsReloaded, None, None)

    def account(self, gw_account_id):
        return self._accounts.get(gw_account_id)

    def _events_on(self):
        return self._core.account_level == C.aslAccountUpdatesAndOrders

    # -- creating and placing ------------------------------------------------------------
    def new_guid(self):
        return "{" + str(uuid.UUID(int=self._core.rng.getrandbits(128), version=4)).upper() + "}"

    def create(self, order_type, instrument, account, quantity, side, limit, stop):
        core = self._core
        if order_type not in C.ENUMS["eOrderType"].values():
            raise ValueError(f"Unknown order type {order_type!r}")
        if not isinstance(instrument, Instrument):
            raise TypeError("The instrument must be one that the component resolved")
        if account is not None and not isinstance(account, Account):
            raise TypeError("The account must be one of the component's accounts")
        if core.api.UseOrderSide:
            if side not in (C.osdBuy, C.osdSell):
                raise ValueError(f"Unknown order side {side!r}")
        elif isinstance(quantity, (int, float)):
            side, quantity = (C.osdSell, -quantity) if quantity < 0 else (C.osdBuy, quantity)
        if order_type in (C.otStop, C.otStopLimit) and stop is None:
            stop, limit = limit, (None if order_type == C.otStop else limit)
        return Order(core, self.new_guid(), order_type, instrument._market, account, quantity,
                     side, limit, stop)

    def _reject_reason(self, order):
        if not self._core.gw_up:
            return "Not connected to the gateway"
        if order._account is None:
            return "No account"
        q = order.Quantity
        if isinstance(q, bool) or not isinstance(q, (int, float)) or q <= 0 or q != int(q):
            return f"Invalid quantity {q!r}"
        if order.Type in (C.otLimit, C.otStopLimit) and not _price(order.LimitPrice):
            return "Limit price is missing"
        if order.Type in (C.otStop, C.otStopLimit) and not _price(order.StopPrice):
            return "Stop price is missing"
        return None

    def place(self, order):
        self._core.request("Place", self._added, self._failed, order)

    def _event(self, change, order, old, fill=None, error=None):
        if self._events_on():
            self._core.fire("OnOrderChanged", change, order, old, fill, error)

    def _status(self, order, status):
        """Moves the order to ``status``; returns its properties from before."""
        old = OrderProperties(order._values())
        order.GWStatus = status
        order.EventServerTimestamp = self._core.event_time()
        return old

    def _added(self, order):
        self._core.orders._add(order)
        order.PlaceTime = self._core.event_time()
        self._event(C.ctAdded, order, self._status(order, C.osInTransit))
        self._core.seq.then(self._accepted, order)

    def _failed(self, order, error):
        self._core.orders._add(order)
        order.RejectReason = error.Description
        self._event(C.ctAdded, order, self._status(order, C.osRejectGW), None, error)

    def _accepted(self, order):
        reason = self._reject_reason(order)
        if reason:
            order.RejectReason = reason
            self._event(C.ctChanged, order, self._status(order, C.osRejectGW))
            return
        order.Quantity = int(order.Quantity)
        self._event(C.ctChanged, order, self._status(order, C.osInOrderBook))
        self._core.seq.then(self._try_match, order, True)

    # -- matching ------------------------------------------------------------------------
    def market_moved(self, market):
        if not self._core.gw_up:
            return
        for order in list(self._core.orders._items):
            if order._market is market and order.GWStatus in WORKING:
                self._try_match(order, False)

    def _try_match(self, order, arriving):
        if order.GWStatus not in WORKING or not self._core.gw_up:
            return
        m = order._market
        buy = order.Side == C.osdBuy
        opposite = m.best(C.qtAsk if buy else C.qtBid)
        last = m.best(C.qtTrade)
        if order.Type in (C.otStop, C.otStopLimit) and not order._triggered:
            seen = [p for p in (last, opposite) if p is not None]
            if not any((p >= order.StopPrice) if buy else (p <= order.StopPrice) for p in seen):
                return
            order._triggered = True
            arriving = True
        if order.Type in (C.otMarket, C.otStop):
            if opposite is not None:
                self.fill(order, order.Quantity - order.FilledQuantity, opposite)
            return
        limit = order.LimitPrice
        if opposite is not None and (opposite <= limit if buy else opposite >= limit):
            self.fill(order, order.Quantity - order.FilledQuantity,
                      opposite if arriving else limit)
        elif last is not None and (last <= limit if buy else last >= limit) and not arriving:
            self.fill(order, order.Quantity - order.FilledQuantity, limit)

    def fill(self, order, quantity, price, status=C.fsNormal):
        """Books a fill of ``quantity`` at ``price`` and delivers what follows from it."""
        core = self._core
        quantity = min(quantity, order.Quantity - order.FilledQuantity)
        if quantity <= 0:
            return
        self._fill_ids += 1
        old = OrderProperties(order._values())
        stamp = core.event_time()
        fill = Fill(str(1_000_000 + self._fill_ids), order, quantity, price, stamp, status)
        order._fills.append(fill)
        total = order.FilledQuantity + quantity
        order.AverageFillPrice = round(
            (order.AverageFillPrice * order.FilledQuantity + price * quantity) / total, 10)
        order.FilledQuantity = total
        if total >= order.Quantity:
            order.GWStatus = C.osFilled
        order.EventServerTimestamp = stamp
        account = order._account
        position = account._positions.get(order.InstrumentName)
        added = position is None
        if added:
            position = account._positions[order.InstrumentName] = Position(account, order._market)
        signed = quantity if order.Side == C.osdBuy else -quantity
        account._realized += position._fill(signed, price)
        account._commissions += core.config.commission * quantity
        self._event(C.ctChanged, order, old, fill)
        if self._events_on():
            if account._psl == C.pslSnapshotAndUpdates:
                change = C.actPositionAdded if added else C.actPositionChanged
                core.fire("OnAccountChanged", change, account, position)
            core.fire("OnAccountChanged", C.actAccountChanged, account, None)

    # -- cancelling and scripted changes -------------------------------------------------
    def cancel(self, order):
        self._core.request("Cancel", self._in_cancel, self._cancel_failed, order)

    def _in_cancel(self, order):
        if order.GWStatus in C.FINAL_STATUSES:
            return  # filled or rejected while the cancel was on its way
        self._event(C.ctChanged, order, self._status(order, C.osInCancel))
        self._core.seq.then(self._cancelled, order)

    def _cancelled(self, order):
        if order.GWStatus == C.osInCancel:
            self._event(C.ctChanged, order, self._status(order, C.osCanceled))

    def _cancel_failed(self, order, error):
        self._event(C.ctChanged, order, OrderProperties(order._values()), None, error)

    def set_status(self, order, status):
        fill = None
        if status == C.osBusted and order._fills:
            last = order._fills[-1]
            fill = Fill(last.Id, order, last.Quantity, last.Price, self._core.event_time(),
                        C.fsBusted)
        self._event(C.ctChanged, order, self._status(order, status), fill)

    def remove(self, order):
        old = OrderProperties(order._values())
        self._core.orders._remove(order)
        self._event(C.ctRemoved, order, old)


def _price(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)
