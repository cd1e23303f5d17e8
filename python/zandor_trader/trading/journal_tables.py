"""The journal's tables and the rows that go into them: plain tables, one row per event, each
stamped with its time in ISO 8601 with the offset, so that they can be loaded elsewhere."""
import datetime as _dt
from typing import Optional

SCHEMA_VERSION = "1"
# The component reports order and fill times in China time (UTC+8) without a zone.
BROKER_ZONE = _dt.timezone(_dt.timedelta(hours=8))

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
    session INTEGER PRIMARY KEY, time TEXT NOT NULL, account TEXT NOT NULL, broker TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS requests (
    time TEXT NOT NULL, session INTEGER NOT NULL, seq INTEGER NOT NULL, kind TEXT NOT NULL,
    text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS orders (
    time TEXT NOT NULL, session INTEGER NOT NULL, order_id TEXT NOT NULL, origin TEXT NOT NULL,
    symbol TEXT NOT NULL, exchange TEXT NOT NULL, side TEXT NOT NULL, quantity INTEGER NOT NULL,
    order_type TEXT NOT NULL, price TEXT, stop_price TEXT);
CREATE TABLE IF NOT EXISTS order_updates (
    time TEXT NOT NULL, session INTEGER NOT NULL, order_id TEXT NOT NULL, status TEXT NOT NULL,
    filled_quantity INTEGER, filled_avg_price REAL, broker_time TEXT);
CREATE TABLE IF NOT EXISTS deals (
    time TEXT NOT NULL, session INTEGER NOT NULL, deal_id TEXT NOT NULL UNIQUE,
    order_id TEXT NOT NULL, symbol TEXT NOT NULL, exchange TEXT NOT NULL, side TEXT NOT NULL,
    quantity INTEGER NOT NULL, price REAL NOT NULL, trading_day TEXT, realized_pnl REAL,
    position INTEGER, average_price REAL, recorded TEXT NOT NULL, while_down INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS alerts (time TEXT NOT NULL, session INTEGER NOT NULL, text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS replies (
    time TEXT NOT NULL, session INTEGER NOT NULL, reply_id INTEGER NOT NULL, text TEXT NOT NULL,
    PRIMARY KEY (session, reply_id));
CREATE TABLE IF NOT EXISTS deliveries (
    time TEXT NOT NULL, session INTEGER NOT NULL, reply_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS repeats (
    time TEXT NOT NULL, session INTEGER NOT NULL, reply_id INTEGER NOT NULL,
    of_session INTEGER NOT NULL, of_reply INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS chat (
    time TEXT NOT NULL, session INTEGER NOT NULL, who TEXT NOT NULL, text TEXT NOT NULL);
"""

INSERT = {
    "request": "INSERT INTO requests VALUES (?, ?, ?, ?, ?)",
    "order": "INSERT INTO orders VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
    "order_update": "INSERT INTO order_updates VALUES (?, ?, ?, ?, ?, ?, ?)",
    # A deal reported twice (a restart, a repeated event) is kept once.
    "deal": "INSERT OR IGNORE INTO deals VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
    "alert": "INSERT INTO alerts VALUES (?, ?, ?)",
    "reply": "INSERT OR IGNORE INTO replies VALUES (?, ?, ?, ?)",
    "delivery": "INSERT INTO deliveries VALUES (?, ?, ?)",
    "repeat": "INSERT INTO repeats VALUES (?, ?, ?, ?, ?)",
    "chat": "INSERT INTO chat VALUES (?, ?, ?, ?)",
}

# What `zandor-trader journal` lists of each table, in its columns' order.
LISTED = {
    "deals": ("time", "deal_id", "order_id", "symbol", "exchange", "side", "quantity", "price"),
    "orders": ("time", "order_id", "origin", "symbol", "exchange", "side", "quantity",
               "order_type", "price", "stop_price"),
    "requests": ("time", "seq", "kind", "text"),
}


def stamp(seconds: float) -> str:
    """A moment (time.time()) in local time with its offset, to the millisecond."""
    return _dt.datetime.fromtimestamp(seconds).astimezone().isoformat(timespec="milliseconds")


def broker_stamp(moment: Optional[_dt.datetime]) -> Optional[str]:
    """A time the component reported (China time, no zone) with its offset."""
    if moment is None:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=BROKER_ZONE)
    return moment.isoformat()


def parse_time(text: str) -> _dt.datetime:
    """A journal time back as an aware date-time."""
    moment = _dt.datetime.fromisoformat(text)
    return moment if moment.tzinfo is not None else moment.astimezone()


def text_of(value) -> Optional[str]:
    """A price as the text it was kept with (None stays None)."""
    return None if value is None else str(value)
