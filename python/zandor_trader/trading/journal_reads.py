"""Reading the journal: what a restart restores, what reports add up, what the trader's books
list. Each read opens its own connection, so any thread may read while the writer writes."""
import contextlib
import datetime as _dt
import sqlite3
from typing import Dict, Iterator, List, NamedTuple, Optional, Set, Tuple

from zandor_trader.trading.journal_tables import LISTED, parse_time


class DealRow(NamedTuple):
    time: str
    deal_id: str
    order_id: str
    symbol: str
    exchange: str
    side: str
    quantity: int
    price: float


class Holding(NamedTuple):
    symbol: str
    exchange: str
    position: int  # signed: long positive
    average_price: float


@contextlib.contextmanager
def reading(path: str) -> Iterator[sqlite3.Connection]:
    db = sqlite3.connect(path)
    try:
        yield db
    finally:
        db.close()


def last_session(path: str) -> int:
    with reading(path) as db:
        return int(db.execute("SELECT COALESCE(MAX(session), 0) FROM sessions").fetchone()[0])


def listing(path: str, table: str, since: Optional[_dt.datetime] = None) -> List[tuple]:
    """The rows of `table` ("deals", "orders" or "requests") with the listed columns, oldest
    first; with `since`, those at or after it."""
    columns = LISTED[table]
    with reading(path) as db:
        rows = db.execute(f"SELECT {', '.join(columns)} FROM {table} ORDER BY rowid").fetchall()
    if since is not None:
        rows = [r for r in rows if parse_time(r[0]) >= since]
    return rows


def deal_ids(path: str) -> Set[str]:
    with reading(path) as db:
        return {r[0] for r in db.execute("SELECT deal_id FROM deals")}


def recent_deals(path: str, count: int) -> List[DealRow]:
    """The newest `count` deals, oldest of them first."""
    with reading(path) as db:
        rows = db.execute(f"SELECT {', '.join(LISTED['deals'])} FROM deals ORDER BY rowid DESC "
                          "LIMIT ?", (count,)).fetchall()
    return [DealRow(*r) for r in reversed(rows)]


def chat_entries(path: str, count: int) -> List[Tuple[str, str]]:
    """The newest `count` lines of the conversation as (who, text), oldest first."""
    with reading(path) as db:
        rows = db.execute("SELECT who, text FROM chat ORDER BY rowid DESC LIMIT ?",
                          (count,)).fetchall()
    return [(who, text) for who, text in reversed(rows)]


def undelivered(path: str, before_session: int) -> List[Tuple[int, int, str]]:
    """Replies of earlier sessions whose delivery was never confirmed and that were not sent
    once more since, as (session, reply_id, text), in the order they were queued."""
    with reading(path) as db:
        return db.execute(
            "SELECT r.session, r.reply_id, r.text FROM replies r WHERE r.session < ? "
            "AND NOT EXISTS (SELECT 1 FROM deliveries d WHERE d.session = r.session "
            "AND d.reply_id = r.reply_id) AND NOT EXISTS (SELECT 1 FROM repeats p "
            "WHERE p.of_session = r.session AND p.of_reply = r.reply_id) "
            "ORDER BY r.session, r.reply_id", (before_session,)).fetchall()


def holdings(path: str) -> List[Holding]:
    """Each instrument's position and average price after the latest deal that set them."""
    with reading(path) as db:
        rows = db.execute(
            "SELECT symbol, exchange, position, average_price FROM deals WHERE rowid IN "
            "(SELECT MAX(rowid) FROM deals WHERE position IS NOT NULL "
            "GROUP BY symbol, exchange)").fetchall()
    return [Holding(*r) for r in rows]


def realized_by_day(path: str, first_day: str, last_day: str) -> Dict[str, Dict[str, float]]:
    """Realized P&L by trading day (ISO date) and instrument ("EPZ5.CME"), for the days from
    `first_day` to `last_day`; deals whose P&L could not be priced are left out."""
    with reading(path) as db:
        rows = db.execute(
            "SELECT trading_day, symbol, exchange, SUM(realized_pnl) FROM deals "
            "WHERE trading_day BETWEEN ? AND ? AND realized_pnl IS NOT NULL "
            "GROUP BY trading_day, symbol, exchange ORDER BY trading_day, symbol",
            (first_day, last_day)).fetchall()
    out: Dict[str, Dict[str, float]] = {}
    for day, symbol, exchange, total in rows:
        out.setdefault(day, {})[f"{symbol}.{exchange}"] = total
    return out


def realized_deals(path: str, day: str) -> List[Tuple[str, float]]:
    """(time, realized P&L) of each deal of trading day `day` (ISO date) whose P&L is known,
    in the order journaled."""
    with reading(path) as db:
        return db.execute("SELECT time, realized_pnl FROM deals WHERE trading_day = ? AND "
                          "realized_pnl IS NOT NULL ORDER BY rowid", (day,)).fetchall()


def unpriced_deals(path: str, first_day: str, last_day: str) -> int:
    """Deals of those days whose realized P&L is not known (no contract size)."""
    with reading(path) as db:
        return int(db.execute(
            "SELECT COUNT(*) FROM deals WHERE trading_day BETWEEN ? AND ? "
            "AND realized_pnl IS NULL", (first_day, last_day)).fetchone()[0])
