"""Accounts and orders on the component's thread: placing, checks, fills, cancels, busts, and
the balance and positions that follow the fills (when orders trade: matching.py)."""
import uuid

from cqgsim import buying_power, catalogue, hours
from cqgsim import constants as C
from cqgsim.accounts import Account, Position
from cqgsim.matching import Matcher
from cqgsim.objects import Instrument
from cqgsim.orders import Fill, Order

WORKING = frozenset({C.osInOrderBook})


class Trading:
    def __init__(self, core):
        self._core = core
        self._paper = core.paper
        self._accounts = {}  # GW account id -> Account, made on the first reload
        self._orders_restored = False
        self.matcher = Matcher(self, core)

    # -- accounts ------------------------------------------------------------------------
    def reload_accounts(self):
        """The accounts load (the first time as the paper store has them, with their working
        orders, which are reported as added)."""
        core = self._core
        markets = core.market_data.markets
        for spec, stored in self._paper.account_specs(core.config.accounts):
            if spec.gw_account_id not in self._accounts:
                account = self._accounts[spec.gw_account_id] = Account(core, spec)
                if stored is not None:
                    self._paper.restore_account(account, stored, markets)
                core.accounts.append_item(account)
        restored = []
        if not self._orders_restored:
            self._orders_restored = True
            restored = self._paper.working_orders(core, self._accounts, markets)
            for order in restored:
                core.orders.append_item(order)
                _index(order)
        core.fire("OnAccountChanged", C.actAccountsReloaded, None, None)
        for order in restored:
            self._event(C.ctAdded, order, order.Properties)

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
        return Order(core, self.new_guid(), order_type, instrument.market_state, account, quantity,
                     side, limit, stop)

    def _reject_reason(self, order):
        if not self._core.gw_up:
            return "Not connected to the gateway"
        if order.Account is None:
            return "No account"
        q = order.Quantity
        if isinstance(q, bool) or not isinstance(q, (int, float)) or q <= 0 or q != int(q):
            return f"Invalid quantity {q!r}"
        if order.Type in (C.otLimit, C.otStopLimit) and not _price(order.LimitPrice):
            return "Limit price is missing"
        if order.Type in (C.otStop, C.otStopLimit) and not _price(order.StopPrice):
            return "Stop price is missing"
        spec = order.market_state.spec
        for name, price in (("Limit", order.LimitPrice), ("Stop", order.StopPrice)):
            uses = (C.otLimit, C.otStopLimit) if name == "Limit" else (C.otStop, C.otStopLimit)
            if order.Type in uses and (price <= 0 or not catalogue.on_tick(spec, price)):
                return (f"{name} price {price} is not a positive multiple of the tick size "
                        f"{spec.tick_size}")
        closed = hours.closed_reason(order.InstrumentName, self._core.clock.now)
        if closed:
            return closed
        return buying_power.problem(order, self._core.market_data.markets.values())

    def place(self, order):
        self._core.request("Place", self._added, self._failed, order)

    def _event(self, change, order, old, fill=None, error=None):
        if self._events_on():
            self._core.fire("OnOrderChanged", change, order, old, fill, error)

    def _status(self, order, status):
        """Moves the order to ``status``; returns its properties from before."""
        old = order.Properties
        order.GWStatus = status
        order.EventServerTimestamp = self._core.event_time()
        _index(order)
        self._paper.order_changed(order)
        return old

    def _added(self, order):
        self._core.orders.append_item(order)
        order.PlaceTime = self._core.event_time()
        self._event(C.ctAdded, order, self._status(order, C.osInTransit))
        self._core.seq.then(self._accepted, order)

    def _failed(self, order, error):
        self._core.orders.append_item(order)
        order.RejectReason = error.Description
        self._event(C.ctAdded, order, self._status(order, C.osRejectGW), None, error)

    def _accepted(self, order):
        reason = self._core.drills.take_rejection() or self._reject_reason(order)
        if reason:
            order.RejectReason = reason
            self._event(C.ctChanged, order, self._status(order, C.osRejectGW))
            return
        order.Quantity = int(order.Quantity)
        self._event(C.ctChanged, order, self._status(order, C.osInOrderBook))
        self._core.seq.then(self._arrive, order)

    # -- matching ------------------------------------------------------------------------
    def _arrive(self, order):
        if order.GWStatus in WORKING and self._core.gw_up:
            self.matcher.arrive(order)

    def market_moved(self, market, ticks=()):
        """After the market data of an instant: its working orders may trade (not while the
        market is closed)."""
        if not self._core.gw_up or not market.working or not hours.is_open(self._core.clock.now):
            return
        prints = [(p, v) for t, p, v in ticks if t == C.tptTrade]
        self.matcher.market_moved(market, prints)

    def fill(self, order, quantity, price, status=C.fsNormal):
        """Books a fill of ``quantity`` at ``price`` and delivers what follows from it."""
        core = self._core
        quantity = min(quantity, order.Quantity - order.FilledQuantity)
        if quantity <= 0:
            return
        old = order.Properties
        stamp = core.event_time()
        fill = Fill(self._paper.next_fill_id(), order, quantity, price, stamp, status)
        order.add_fill(fill)
        total = order.FilledQuantity + quantity
        order.AverageFillPrice = round(
            (order.AverageFillPrice * order.FilledQuantity + price * quantity) / total, 10)
        order.FilledQuantity = total
        if total >= order.Quantity:
            order.GWStatus = C.osFilled
            _index(order)
        order.EventServerTimestamp = stamp
        account = order.Account
        positions = account.positions_by_name
        position = positions.get(order.InstrumentName)
        added = position is None
        if added:
            position = positions[order.InstrumentName] = Position(account, order.market_state)
        account.book_fill(fill, position, core.config.commission)
        self._paper.filled(fill, order, account)  # kept before anyone hears of it
        self._event(C.ctChanged, order, old, fill)
        if self._events_on():
            if account.PositionSubcriptionLevel == C.pslSnapshotAndUpdates:
                change = C.actPositionAdded if added else C.actPositionChanged
                core.fire("OnAccountChanged", change, account, position)
            core.fire("OnAccountChanged", C.actAccountChanged, account, None)

    # -- cancelling and scripted changes -------------------------------------------------
    def cancel(self, order):
        self._core.request("Cancel", self._in_cancel, self._cancel_failed, order)

    def _in_cancel(self, order):
        if order.GWStatus in C.FINAL_STATUSES:
            # Filled or rejected while the cancel was on its way: the cancel is answered.
            self._cancel_failed(order, self._core.error(
                201, f"Order {order.GUID} cannot be cancelled: it is no longer working"))
            return
        self._event(C.ctChanged, order, self._status(order, C.osInCancel))
        self._core.seq.then(self._cancelled, order)

    def _cancelled(self, order):
        if order.GWStatus == C.osInCancel:
            self._event(C.ctChanged, order, self._status(order, C.osCanceled))

    def _cancel_failed(self, order, error):
        self._event(C.ctChanged, order, order.Properties, None, error)

    def set_status(self, order, status):
        fill = None
        busted = None
        last = order.last_fill() if status == C.osBusted else None
        if last is not None:
            fill = Fill(last.Id, order, last.Quantity, last.Price, self._core.event_time(),
                        C.fsBusted)
            if last.Status == C.fsNormal and order.Account is not None:
                last.Status = C.fsBusted  # the exchange took it back: so does the account
                busted = order.Account.unbook_fill(last, self._core.config.commission)
        old = self._status(order, status)
        if busted is not None:
            self._paper.busted(last, order, order.Account)
        self._event(C.ctChanged, order, old, fill)
        if busted is not None and self._events_on():
            account = order.Account
            if account.PositionSubcriptionLevel == C.pslSnapshotAndUpdates:
                self._core.fire("OnAccountChanged", C.actPositionChanged, account, busted)
            self._core.fire("OnAccountChanged", C.actAccountChanged, account, None)

    def remove(self, order):
        old = order.Properties
        self._core.orders.remove_item(order)
        order.market_state.working.pop(order.GUID, None)
        self._paper.order_removed(order)
        self._event(C.ctRemoved, order, old)


def _price(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _index(order):
    """Keeps the market's index of working orders in step with the order's status."""
    working = order.market_state.working
    if order.GWStatus in WORKING:
        working[order.GUID] = order
    else:
        working.pop(order.GUID, None)
