"""What the simulated broker keeps in its paper store, and when: an order as it goes into
the book and each change after; a fill, with its order and account as they stand after it,
before the event that reports it; a bust; and, when the accounts load, the accounts, their
positions and their working orders as the store has them. Without a store it only hands out
the ids, as the component always did."""
from cqgsim import constants as C
from cqgsim.accounts import Position
from cqgsim.config import AccountSpec
from cqgsim.orders import Fill, Order
from cqgsim.paper import FIRST_FILL_ID, PaperStore, time_of


class PaperBook:
    """Owned by the component's thread."""

    def __init__(self, path):
        self._store = PaperStore(path) if path is not None else None
        self._run = self._store.begin_run() if self._store is not None else None
        self._fills = 0  # fill ids handed out without a store
        self._stored_accounts = None  # the store's account rows, read once

    def guid_seed(self, seed):
        """What order GUIDs are drawn from: the market's seed, and with a store the run, so
        that no run on one store repeats another's GUIDs."""
        return f"{seed}/ids" if self._run is None else f"{seed}/ids/run{self._run}"

    def next_fill_id(self):
        if self._store is not None:
            return self._store.take_fill_id()
        self._fills += 1
        return str(FIRST_FILL_ID - 1 + self._fills)

    def close(self):
        if self._store is not None:
            self._store.close()

    # -- keeping -------------------------------------------------------------------------
    def order_changed(self, order):
        if self._store is not None:
            self._store.save_order(order, booked=order.GWStatus == C.osInOrderBook)

    def order_removed(self, order):
        if self._store is not None:
            self._store.forget_order(order.GUID)

    def filled(self, fill, order, account):
        if self._store is not None:
            self._store.save_fill(fill, order, account)

    def busted(self, fill, order, account):
        if self._store is not None:
            self._store.save_bust(fill, order, account)

    # -- restoring -----------------------------------------------------------------------
    def account_specs(self, configured):
        """The accounts to load: (spec, stored row or None), the store's first, then the
        configured ones it does not have yet (which it keeps from now on)."""
        if self._store is None:
            return [(spec, None) for spec in configured]
        if self._stored_accounts is None:
            self._stored_accounts = {r.gw_account_id: r for r in self._store.accounts()}
        out = [(AccountSpec(r.gw_account_id, r.name, r.start_balance, r.collaterals), r)
               for r in self._stored_accounts.values()]
        for spec in configured:
            if spec.gw_account_id not in self._stored_accounts:
                self._store.add_account(spec)
                out.append((spec, None))
        return out

    def restore_account(self, account, row, markets):
        """Gives a new account its stored positions and money."""
        for p in self._store.positions(account.GWAccountID):
            market = markets.get(p.instrument)
            if market is None:
                continue  # an instrument the broker no longer lists
            position = account.positions_by_name[p.instrument] = Position(account, market)
            side = C.osdSell if p.quantity < 0 else C.osdBuy
            position.restore_state((side, p.quantity, p.average_price, p.realized_pnl))
        account.start_from(row.realized_pnl, row.commissions)

    def working_orders(self, core, accounts, markets):
        """The stored working orders of the loaded accounts, rebuilt, oldest first."""
        if self._store is None:
            return []
        orders = []
        for r in self._store.orders_with_status(C.osInOrderBook):
            account, market = accounts.get(r.gw_account_id), markets.get(r.instrument)
            if account is None or market is None:
                continue
            order = Order(core, r.guid, r.order_type, market, account, r.quantity, r.side,
                          r.limit_price, r.stop_price)
            order.mark_placed()
            order.GWStatus = C.osInOrderBook
            order.FilledQuantity, order.AverageFillPrice = r.filled_quantity, r.average_fill_price
            order.PlaceTime, order.EventServerTimestamp = time_of(r.place_time), time_of(r.updated)
            order.Manual = r.manual
            order.stop_triggered = bool(r.stop_triggered)
            order.queue_ahead = market.spec.top_size  # its place in the queue is not known
            for f in self._store.fills_of(r.guid):
                order.add_fill(Fill(f.fill_id, order, f.quantity, f.price, time_of(f.time),
                                    f.status))
            orders.append(order)
        return orders
