"""The paper store: the simulated broker's accounts in an SQLite file (WAL), so that a second
run on the same store continues where the first ended, as a broker's paper account does.

It keeps each account's money (starting balance, realized profit, commissions), its
positions, the orders that went into the book and every fill, and the sequences that order
GUIDs and fill ids come from, which never repeat within a store. Plain tables, one row per
thing, so that they can be read or loaded elsewhere. Each change is committed before the
component raises the event that reports it; in WAL mode with synchronous=NORMAL a commit
survives the process being killed (not a power cut). One component uses a store at a time.
"""
import collections
import datetime as _dt
import os
import sqlite3

from cqgsim import constants as C

SCHEMA_VERSION = "1"
FIRST_FILL_ID = 1_000_001

_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts (
    gw_account_id INTEGER PRIMARY KEY, name TEXT NOT NULL, start_balance REAL NOT NULL,
    collaterals REAL NOT NULL, realized_pnl REAL NOT NULL, commissions REAL NOT NULL);
CREATE TABLE IF NOT EXISTS positions (
    gw_account_id INTEGER NOT NULL, instrument TEXT NOT NULL, quantity INTEGER NOT NULL,
    average_price REAL NOT NULL, realized_pnl REAL NOT NULL,
    PRIMARY KEY (gw_account_id, instrument));
CREATE TABLE IF NOT EXISTS orders (
    guid TEXT PRIMARY KEY, gw_account_id INTEGER NOT NULL, instrument TEXT NOT NULL,
    order_type INTEGER NOT NULL, side INTEGER NOT NULL, quantity INTEGER NOT NULL,
    limit_price REAL, stop_price REAL, status INTEGER NOT NULL,
    filled_quantity INTEGER NOT NULL, average_fill_price REAL NOT NULL, place_time TEXT,
    manual INTEGER NOT NULL, stop_triggered INTEGER NOT NULL, updated TEXT);
CREATE TABLE IF NOT EXISTS fills (
    fill_id TEXT PRIMARY KEY, guid TEXT NOT NULL, gw_account_id INTEGER NOT NULL,
    instrument TEXT NOT NULL, side INTEGER NOT NULL, quantity INTEGER NOT NULL,
    price REAL NOT NULL, time TEXT NOT NULL, status INTEGER NOT NULL);
"""

AccountRow = collections.namedtuple(
    "AccountRow", "gw_account_id name start_balance collaterals realized_pnl commissions")
PositionRow = collections.namedtuple("PositionRow", "instrument quantity average_price realized_pnl")
OrderRow = collections.namedtuple(
    "OrderRow", "guid gw_account_id instrument order_type side quantity limit_price stop_price "
    "status filled_quantity average_fill_price place_time manual stop_triggered updated")
FillRow = collections.namedtuple(
    "FillRow", "fill_id guid gw_account_id instrument side quantity price time status")


class PaperStoreError(ValueError):
    """The file cannot be used as a paper store; the message says why."""


def _time(value):
    return value.isoformat() if value is not None else None


def time_of(text):
    return _dt.datetime.fromisoformat(text) if text is not None else None


class PaperStore:
    """Opens (creating if need be) the store at ``path``. Used on one thread."""

    def __init__(self, path):
        self.path = os.fspath(path)
        try:
            self._db = sqlite3.connect(self.path)
            self._prepare()
        except sqlite3.Error as exc:
            self.close()
            raise PaperStoreError(f"{self.path} cannot be used as a paper store: {exc}") from None
        except PaperStoreError:
            self.close()
            raise
        self._next_fill = int(self._meta("next_fill_id"))
        self._kept = {r[0] for r in self._db.execute("SELECT guid FROM orders")}

    def _prepare(self):
        db = self._db
        tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
        if tables and "meta" not in tables:
            raise PaperStoreError(f"{self.path} holds other tables: it is not a paper store")
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=NORMAL")
        with db:
            db.executescript(_SCHEMA)
            for key, value in (("schema_version", SCHEMA_VERSION), ("runs", "0"),
                               ("account_number", "1"), ("next_fill_id", str(FIRST_FILL_ID)),
                               ("created", _dt.datetime.now().isoformat(timespec="seconds"))):
                db.execute("INSERT OR IGNORE INTO meta VALUES (?, ?)", (key, value))
        version = self._meta("schema_version")
        if version != SCHEMA_VERSION:
            raise PaperStoreError(f"{self.path} is a paper store of version {version}; this "
                                  f"simulator reads version {SCHEMA_VERSION}")

    def _meta(self, key):
        return self._db.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()[0]

    def _set_meta(self, key, value):
        self._db.execute("UPDATE meta SET value = ? WHERE key = ?", (str(value), key))

    def close(self):
        db, self._db = getattr(self, "_db", None), None
        if db is not None:
            db.close()

    # -- runs and ids --------------------------------------------------------------------
    def begin_run(self) -> int:
        """Counts a new run on the store and returns its number (1 for the first)."""
        with self._db:
            runs = int(self._meta("runs")) + 1
            self._set_meta("runs", runs)
        return runs

    def take_fill_id(self) -> str:
        """The next fill id; it is stored for good with the fill (save_fill)."""
        ident = self._next_fill
        self._next_fill += 1
        return str(ident)

    # -- reading -------------------------------------------------------------------------
    def accounts(self):
        return [AccountRow(*r) for r in self._db.execute(
            "SELECT * FROM accounts ORDER BY gw_account_id")]

    def positions(self, gw_account_id):
        """The account's positions in the order they were opened."""
        return [PositionRow(*r) for r in self._db.execute(
            "SELECT instrument, quantity, average_price, realized_pnl FROM positions "
            "WHERE gw_account_id = ? ORDER BY rowid", (gw_account_id,))]

    def orders_with_status(self, status):
        """Orders now in ``status``, in the order they went into the book."""
        return [OrderRow(*r) for r in self._db.execute(
            "SELECT * FROM orders WHERE status = ? ORDER BY rowid", (status,))]

    def fills_of(self, guid):
        return [FillRow(*r) for r in self._db.execute(
            "SELECT * FROM fills WHERE guid = ? ORDER BY rowid", (guid,))]

    def counts(self):
        """How many accounts, open positions, working orders and fills the store holds."""
        def one(sql, *args):
            return self._db.execute(sql, args).fetchone()[0]

        return {"accounts": one("SELECT COUNT(*) FROM accounts"),
                "open positions": one("SELECT COUNT(*) FROM positions WHERE quantity != 0"),
                "working orders": one("SELECT COUNT(*) FROM orders WHERE status = ?",
                                      C.osInOrderBook),
                "fills": one("SELECT COUNT(*) FROM fills")}

    # -- writing (each call one transaction) ---------------------------------------------
    def add_account(self, spec):
        with self._db:
            self._db.execute("INSERT OR IGNORE INTO accounts VALUES (?, ?, ?, ?, 0, 0)",
                             (spec.gw_account_id, spec.name, spec.balance, spec.collaterals))

    def save_order(self, order, booked):
        """Keeps an order that is (``booked``) or was in the book; others are not kept."""
        if booked or order.GUID in self._kept:
            with self._db:
                self._write_order(order, booked)

    def forget_order(self, guid):
        if guid in self._kept:
            with self._db:
                self._db.execute("DELETE FROM orders WHERE guid = ?", (guid,))
            self._kept.discard(guid)

    def save_fill(self, fill, order, account):
        """The fill, its order and its account as they stand after it, and the fill id
        sequence, in one transaction."""
        with self._db:
            self._db.execute("INSERT INTO fills VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", (
                fill.Id, order.GUID, account.GWAccountID, fill.InstrumentName, fill.Side,
                fill.Quantity, fill.Price, _time(fill.Timestamp), fill.Status))
            self._write_order(order, booked=True)
            self._write_account(account)
            self._set_meta("next_fill_id", self._next_fill)

    def save_bust(self, fill, order, account):
        """A fill taken back: its status, its order and the account booked again."""
        with self._db:
            self._db.execute("UPDATE fills SET status = ? WHERE fill_id = ?",
                             (fill.Status, fill.Id))
            self._write_order(order, booked=False)
            self._write_account(account)

    def _write_order(self, order, booked):
        row = (order.GUID, order.GWAccountID, order.InstrumentName, order.Type, order.Side,
               order.Quantity, order.LimitPrice, order.StopPrice, order.GWStatus,
               order.FilledQuantity, order.AverageFillPrice, _time(order.PlaceTime),
               int(bool(order.Manual)), int(order.stop_triggered),
               _time(order.EventServerTimestamp))
        if booked:
            self._kept.add(order.GUID)
            self._db.execute(
                "INSERT INTO orders VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (guid) DO UPDATE SET status = excluded.status, "
                "filled_quantity = excluded.filled_quantity, "
                "average_fill_price = excluded.average_fill_price, "
                "stop_triggered = excluded.stop_triggered, updated = excluded.updated", row)
        else:
            self._db.execute(
                "UPDATE orders SET status = ?, filled_quantity = ?, average_fill_price = ?, "
                "stop_triggered = ?, updated = ? WHERE guid = ?",
                (row[8], row[9], row[10], row[13], row[14], row[0]))

    def _write_account(self, account):
        self._db.execute(
            "UPDATE accounts SET realized_pnl = ?, commissions = ? WHERE gw_account_id = ?",
            (account.realized_pnl, account.commissions_paid, account.GWAccountID))
        for p in account.positions_by_name.values():
            self._db.execute(
                "INSERT INTO positions VALUES (?, ?, ?, ?, ?) ON CONFLICT "
                "(gw_account_id, instrument) DO UPDATE SET quantity = excluded.quantity, "
                "average_price = excluded.average_price, realized_pnl = excluded.realized_pnl",
                (account.GWAccountID, p.InstrumentName, p.Quantity, p.AveragePrice,
                 p.realized_pnl))

    # -- starting afresh -----------------------------------------------------------------
    def reset(self):
        """Empties the accounts; the id sequences go on. Returns the counts from before."""
        before = self.counts()
        with self._db:
            for table in ("accounts", "positions", "orders", "fills"):
                self._db.execute(f"DELETE FROM {table}")
            self._kept.clear()
            self._set_meta("account_number", int(self._meta("account_number")) + 1)
        return before

    @property
    def account_number(self) -> int:
        """How many paper accounts the store has held: 1, then one more after each reset."""
        return int(self._meta("account_number"))

    @property
    def runs(self) -> int:
        return int(self._meta("runs"))

    @property
    def next_fill_id(self) -> int:
        return self._next_fill


def _counted(counts):
    parts = [f"{n} {what[:-1] if n == 1 else what}" for what, n in counts.items()
             if what != "accounts"]
    return ", ".join(parts)


def reset_store(path) -> str:
    """Starts a fresh paper account on the store at ``path`` (made if missing): every
    account is back to its configured balance, flat, with no orders; order GUIDs and fill
    ids go on where they were. Returns a line saying so."""
    store = PaperStore(path)
    try:
        before = store.reset()
        number, next_fill = store.account_number, store.next_fill_id
    finally:
        store.close()
    return (f"Paper account reset ({store.path}): paper account #{number} starts afresh "
            f"from the configured balances, flat, without orders; the old one had "
            f"{_counted(before)}. Fill ids go on from {next_fill}.")


def describe_store(path) -> str:
    """A line on what the store at ``path`` (made if missing) holds."""
    store = PaperStore(path)
    try:
        counts, number, runs = store.counts(), store.account_number, store.runs
    finally:
        store.close()
    return (f"Paper account #{number} ({store.path}): {counts['accounts']} accounts, "
            f"{_counted(counts)}, after {runs} run{'s' if runs != 1 else ''}.")
