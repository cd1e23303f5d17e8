"""Accounts, their summaries and their positions."""
from cqgsim import constants as C
from cqgsim.collection import Collection

KEPT_FILLS = 10_000  # fills of an account that a bust can still take back


class Position:
    """One instrument's position in one account; Quantity is signed (short below zero)."""

    def __init__(self, account, market):
        self._account = account
        self._market = market
        self.InstrumentName = market.spec.full_name
        self.Side = C.osdBuy
        self.Quantity = 0
        self.AveragePrice = 0.0
        self.realized_pnl = 0.0  # of the fills booked to it

    @property
    def Account(self):
        return self._account

    @property
    def market_state(self):
        return self._market

    def _mark(self):
        m = self._market
        price = m.best(C.qtTrade)
        if price is None:
            bid, ask = m.best(C.qtBid), m.best(C.qtAsk)
            price = (bid + ask) / 2 if bid is not None and ask is not None else self.AveragePrice
        return price

    @property
    def OTE(self):
        if not self.Quantity:
            return 0.0
        return round((self._mark() - self.AveragePrice) * self.Quantity
                     * self._market.spec.point_value, 2)

    @property
    def ProfitLoss(self):
        return round(self.realized_pnl + self.OTE, 2)

    def saved_state(self):
        return self.Side, self.Quantity, self.AveragePrice, self.realized_pnl

    def restore_state(self, state):
        self.Side, self.Quantity, self.AveragePrice, self.realized_pnl = (
            state or (C.osdBuy, 0, 0.0, 0.0))

    def book_fill(self, signed_qty, price):
        """Books a fill; returns the realized profit or loss of the part that closed."""
        q, avg = self.Quantity, self.AveragePrice
        pv = self._market.spec.point_value
        realized = 0.0
        if q == 0 or (q > 0) == (signed_qty > 0):
            total = abs(q) + abs(signed_qty)
            self.AveragePrice = (abs(q) * avg + abs(signed_qty) * price) / total
        else:
            closed = min(abs(q), abs(signed_qty))
            realized = closed * (price - avg) * (1 if q > 0 else -1) * pv
            if abs(signed_qty) > abs(q):
                self.AveragePrice = price  # reversed: the rest opens at the fill price
            elif abs(signed_qty) == abs(q):
                self.AveragePrice = 0.0
        self.Quantity = q + signed_qty
        if self.Quantity:
            self.Side = C.osdBuy if self.Quantity > 0 else C.osdSell
        self.realized_pnl += realized
        return realized


class Positions(Collection):
    __slots__ = ()

    def ItemByIndex(self, index):
        return self.Item(index)


class Summary:
    """Money of an account. Each member takes a row: 0 is the account's currency, 1 its only
    trading currency (USD); both hold the same figures."""

    ROWS = 2

    def __init__(self, core, account):
        self._core = core
        self._account = account

    def _row(self, index, value):
        if isinstance(index, int) and 0 <= index < self.ROWS:
            return round(value, 2)
        if self._core.api.CollectionsThrowException:
            raise IndexError(f"Summary: no row {index!r}")
        return None

    def Balance(self, index):
        return self._row(index, self._account.cash_balance())

    def Collaterals(self, index):
        return self._row(index, self._account.account_spec.collaterals)

    def UPL(self, index):
        return self._row(index, self._account.open_profit())

    def OTE(self, index):
        return self.UPL(index)

    def NLV(self, index):
        return self._row(index, self._account.cash_balance() + self._account.open_profit())

    def MaintenanceMargin(self, index):
        return self._row(index, self._account.margin_in_use())

    def InitialMargin(self, index):
        return self._row(index, self._account.margin_in_use() * 1.1)

    def ProfitLoss(self, index):
        return self._row(index, self._account.realized_pnl)


class Account:
    def __init__(self, core, spec):
        self._core = core
        self.account_spec = spec
        self.GWAccountID = spec.gw_account_id
        self.GWAccountName = spec.name
        self.FcmAccountID = f"SIM{spec.gw_account_id}"
        self.AutoSubscribeInstruments = False
        self._psl = C.pslNoPositions
        self.positions_by_name = {}  # full name -> Position, in the order they were opened
        self.realized_pnl = 0.0
        self.commissions_paid = 0.0
        # The latest fills, as [fill id, instrument, signed quantity, price], so that a bust
        # can be taken back; older ones are folded into the state they led to.
        self._fills = []
        self._folded = ({}, 0.0, 0.0)  # positions' (quantity, price, realized), cash figures

    def book_fill(self, fill, position, commission):
        """Books a fill to its position and the account's cash."""
        signed = fill.Quantity if fill.Side == C.osdBuy else -fill.Quantity
        self._apply(position, signed, fill.Price, commission)
        self._fills.append((fill.Id, fill.InstrumentName, signed, fill.Price))
        if len(self._fills) > KEPT_FILLS:
            self._fold(KEPT_FILLS // 2, commission)

    def _apply(self, position, signed, price, commission):
        self.realized_pnl += position.book_fill(signed, price)
        self.commissions_paid += commission * abs(signed)

    def _fold(self, count, commission):
        """Forgets the oldest ``count`` fills, keeping the state they led to."""
        older, self._fills = self._fills[:count], self._fills[count:]
        saved = self._positions_state(), self.realized_pnl, self.commissions_paid
        self._restore(self._folded)
        for _, name, signed, price in older:
            self._apply(self.positions_by_name[name], signed, price, commission)
        self._folded = (self._positions_state(), self.realized_pnl, self.commissions_paid)
        self._restore(saved)

    def _positions_state(self):
        return {name: p.saved_state() for name, p in self.positions_by_name.items()}

    def _restore(self, state):
        positions, self.realized_pnl, self.commissions_paid = state
        for name, p in self.positions_by_name.items():
            p.restore_state(positions.get(name))

    def unbook_fill(self, fill, commission):
        """Takes a busted fill back: positions and cash as if it never happened (the fills
        after it are booked again). Returns the fill's position, or None when the fill is too
        old to be taken back."""
        kept = [f for f in self._fills if f[0] != fill.Id]
        if len(kept) == len(self._fills):
            return None
        self._restore(self._folded)
        self._fills = kept
        for _, name, signed, price in kept:
            self._apply(self.positions_by_name[name], signed, price, commission)
        return self.positions_by_name[fill.InstrumentName]

    def start_from(self, realized_pnl, commissions_paid):
        """Takes the positions as they stand and these figures as where the account starts
        (restored from a paper store): no fill before them can be taken back."""
        self.realized_pnl, self.commissions_paid = realized_pnl, commissions_paid
        self._fills = []
        self._folded = (self._positions_state(), realized_pnl, commissions_paid)

    @property
    def PositionSubcriptionLevel(self):
        return self._psl

    @PositionSubcriptionLevel.setter
    def PositionSubcriptionLevel(self, value):
        if value not in C.ENUMS["ePositionSubscriptionLevel"].values():
            raise ValueError(f"PositionSubcriptionLevel: unknown value {value!r}")
        self._psl = int(value)

    @property
    def Summary(self):
        return Summary(self._core, self)

    @property
    def Positions(self):
        return Positions(self._core, list(self.positions_by_name.values()))

    # -- the simulator's ---------------------------------------------------------------
    def cash_balance(self):
        return self.account_spec.balance + self.realized_pnl - self.commissions_paid

    def open_profit(self):
        return sum(p.OTE for p in self.positions_by_name.values())

    def margin_in_use(self):
        """Maintenance margin of the positions held."""
        return sum(abs(p.Quantity) * p.market_state.spec.margin
                   for p in self.positions_by_name.values())

    def __repr__(self):
        return f"<Account {self.GWAccountID} {self.GWAccountName}>"


class Accounts(Collection):
    __slots__ = ()

    def ItemByGWAccountID(self, gw_account_id):
        for a in self._items:
            if a.GWAccountID == gw_account_id:
                return a
        return self._missing(gw_account_id)
