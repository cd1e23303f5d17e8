"""The journal: the session's book of record in an SQLite file (WAL), one per account.

It records every operator request as received, every order and order update, every deal,
every alert, every reply with its delivery, and the conversation. Rows are written by a
thread of its own, in batches: whoever records an event only queues it (the component's
thread among them, which must never wait for a disk), and whoever is about to tell the
operator something first waits for what was queued so far to be committed (`committed`), so
that nothing the operator was told is missing after the process is killed. In WAL mode with
synchronous=NORMAL a commit survives the process being killed, not a power cut.
"""
import datetime as _dt
import os
import sqlite3
import threading
import time
from decimal import Decimal
from enum import Enum
from typing import Callable, Dict, List, Optional, Tuple

from zandor_trader.core.order import Deal, Order
from zandor_trader.trading import journal_reads
from zandor_trader.trading.journal_tables import (
    INSERT, SCHEMA, SCHEMA_VERSION, broker_stamp, stamp)

COMMIT_WAIT = 5.0  # seconds an announcement waits for the journal before it goes anyway
# Rows wait at most this long (seconds) for more to share their commit, unless someone
# waits for them or BATCH_MAX are queued: fewer wake-ups of the writer on the order path.
LINGER = 0.05
BATCH_MAX = 500
GIVE_WAY = 20  # rows the writer handles before it lets other threads run


class JournalError(ValueError):
    """The file cannot be used as a journal; the message says why."""


def default_path(account) -> str:
    return f"zandor-trader-{account}.sqlite"


def connect(path: str) -> sqlite3.Connection:
    db = sqlite3.connect(path, check_same_thread=False)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    return db


def prepare(path: str) -> None:
    """Makes the tables if missing; refuses a file that is something else."""
    try:
        db = connect(path)
    except sqlite3.Error as exc:
        raise JournalError(f"{path} cannot be used as a journal: {exc}") from None
    try:
        tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
        if tables and "meta" not in tables:
            raise JournalError(f"{path} holds other tables: it is not a journal")
        with db:
            db.executescript(SCHEMA)
            db.execute("INSERT OR IGNORE INTO meta VALUES ('schema_version', ?)",
                       (SCHEMA_VERSION,))
        version = db.execute("SELECT value FROM meta WHERE key='schema_version'").fetchone()[0]
        if version != SCHEMA_VERSION:
            raise JournalError(f"{path} is a journal of version {version}; this session "
                               f"reads version {SCHEMA_VERSION}")
    except sqlite3.Error as exc:
        raise JournalError(f"{path} cannot be used as a journal: {exc}") from None
    finally:
        db.close()


class Journal:
    """Opens (making it if need be) the journal at `path` and starts a session in it.
    `log` takes the journal's own notices (a write that failed)."""

    def __init__(self, path: str, account, broker: str = "",
                 log: Callable[[str], None] = print, clock: Callable[[], float] = time.time):
        self.path = os.fspath(path)
        self.log = log
        self.clock = clock
        prepare(self.path)
        self.previous = journal_reads.last_session(self.path)  # 0 on a new journal
        self._db = connect(self.path)
        with self._db:
            cursor = self._db.execute("INSERT INTO sessions (time, account, broker) VALUES "
                                      "(?, ?, ?)", (stamp(clock()), str(account), broker))
        self.session = int(cursor.lastrowid or 0)
        self._cond = threading.Condition()  # guards the members below
        self._queue: List[Tuple[str, tuple]] = []
        self._queued = 0  # rows queued so far
        self._done = 0  # rows committed (or given up) so far
        self._waiters = 0  # threads in committed()
        self._closing = False
        self._repeats: Dict[str, Tuple[int, int]] = {}  # marked text -> the reply it repeats
        self.failures = 0
        self._thread = threading.Thread(target=self._run, name="journal", daemon=True)
        self._thread.start()

    # -- writing (any thread) -----------------------------------------------------------
    def _put(self, kind: str, row: tuple, *more: Tuple[str, tuple]) -> None:
        """Queues rows; those given in one call are committed together."""
        rows = [(kind, row), *more]
        with self._cond:
            if self._closing:
                return
            idle = not self._queue
            self._queue.extend(rows)
            self._queued += len(rows)
            if idle or len(self._queue) >= BATCH_MAX:  # else the writer is awake already
                self._cond.notify_all()

    def committed(self, timeout: float = COMMIT_WAIT) -> bool:
        """Waits until every row queued so far is committed; False when that took over
        `timeout` seconds (the caller goes on: the journal's failure is already logged)."""
        with self._cond:
            target = self._queued
            if self._done >= target:
                return True
            self._waiters += 1
            self._cond.notify_all()  # the writer commits now, without lingering
            try:
                return self._cond.wait_for(lambda: self._done >= target, timeout)
            finally:
                self._waiters -= 1

    def close(self) -> None:
        """Commits what is queued, ends the writer thread and closes the file."""
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        self._thread.join()
        self._db.close()

    def _run(self) -> None:
        while True:
            with self._cond:
                self._cond.wait_for(lambda: self._queue or self._closing)
                self._cond.wait_for(lambda: self._waiters or self._closing
                                    or len(self._queue) >= BATCH_MAX, LINGER)
                batch, self._queue = self._queue, []
                if not batch and self._closing:
                    return
            by_kind: Dict[str, List[tuple]] = {}
            for n, (kind, row) in enumerate(batch):  # each table's rows in the order they came
                by_kind.setdefault(kind, []).append(tuple(_cell(v) for v in row))
                if n % GIVE_WAY == GIVE_WAY - 1:
                    time.sleep(0)  # the order path never waits long for the interpreter
            try:
                with self._db:
                    for kind, rows in by_kind.items():
                        for start in range(0, len(rows), GIVE_WAY):
                            self._db.executemany(INSERT[kind], rows[start:start + GIVE_WAY])
                            time.sleep(0)
            except sqlite3.Error:  # one bad row must not take the others with it
                self._write_one_by_one(by_kind)
            except Exception as exc:  # the writer never dies: waiters would wait in vain
                self.failures += 1
                self.log(f"Journal {self.path}: {len(batch)} rows not written: "
                         f"{type(exc).__name__}: {exc}")
            with self._cond:
                self._done += len(batch)
                self._cond.notify_all()

    def _write_one_by_one(self, by_kind: Dict[str, List[tuple]]) -> None:
        for kind, rows in by_kind.items():
            for row in rows:
                try:
                    with self._db:
                        self._db.execute(INSERT[kind], row)
                except sqlite3.Error as exc:  # reported, never silent; the session goes on
                    self.failures += 1
                    self.log(f"Journal {self.path}: a {kind} row not written: "
                             f"{type(exc).__name__}: {exc}")

    # -- events -----------------------------------------------------------------------------
    # Rows are queued as the values came (times as Moment, enumeration members, date-times
    # of the component, decimals) and given their text forms on the writer's thread.
    def _now(self) -> "Moment":
        return Moment(self.clock())

    def request(self, seq: int, kind: str, text: str) -> None:
        self._put("request", (self._now(), self.session, seq, kind, text))

    def chat(self, who: str, text: str) -> None:
        self._put("chat", (self._now(), self.session, who, text))

    def alert(self, text: str) -> None:
        self._put("alert", (self._now(), self.session, text))

    def order(self, order: Order, origin: str) -> None:
        """An order the session tracks from now on: `origin` says how it came ("placed",
        "adopted", "timed out")."""
        security = order.security
        self._put("order", (
            self._now(), self.session, order.order_id, origin, _code(security),
            _exchange(security), _or_blank(order.direction), int(order.quantity or 0),
            _or_blank(order.order_type), order.price, order.stop_price))

    def order_update(self, update: dict) -> None:
        get = update.get
        self._put("order_update", (
            self._now(), self.session, str(get("order_id")), get("status") or "",
            get("filled_quantity"), get("filled_avg_price"), get("updated_time")))

    def deal(self, deal: Deal, trading_day: Optional[str] = None,
             realized: Optional[float] = None, position: Optional[int] = None,
             average: Optional[float] = None, while_down: bool = False) -> None:
        now = self._now()
        self._put("deal", (
            deal.updated_time or now, self.session, str(deal.deal_id), str(deal.order_id),
            _code(deal.security), _exchange(deal.security), _or_blank(deal.direction),
            int(deal.filled_quantity or 0), float(deal.filled_avg_price), trading_day, realized,
            position, average, now, int(while_down)))

    def will_repeat(self, marked_text: str, session: int, reply_id: int) -> None:
        """The next reply queued with `marked_text` sends reply `reply_id` of `session` once
        more: the two are recorded together, so that it is repeated once only."""
        with self._cond:
            self._repeats[marked_text] = (session, reply_id)

    # The outbox's listener.
    def reply_queued(self, reply_id: int, text: str, due: float) -> None:
        row = (Moment(due), self.session, reply_id, text)
        with self._cond:
            of = self._repeats.pop(text, None)
        if of is None:
            self._put("reply", row)
        else:
            self._put("reply", row, ("repeat", (Moment(due), self.session, reply_id, *of)))

    def reply_delivered(self, reply_id: int, when: float) -> None:
        self._put("delivery", (Moment(when), self.session, reply_id))


class Moment(float):
    """A time.time() value, kept as the journal's time text."""


def _cell(value):
    """A value as the journal keeps it."""
    if isinstance(value, Moment):
        return stamp(value)
    if isinstance(value, Enum):
        return value.name
    if isinstance(value, _dt.datetime):
        return broker_stamp(value)
    if isinstance(value, Decimal):
        return str(value)
    return value


def _or_blank(member):
    """A column that must have a value: blank when there is none."""
    return "" if member is None else member


def _code(security) -> str:
    return security.code if security is not None else ""


def _exchange(security) -> str:
    return security.exchange.value if security is not None else ""


