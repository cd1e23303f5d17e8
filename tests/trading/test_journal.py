"""The journal: rows committed before anyone waits on them, replies repeated once however
often a session dies, what a restart restores, and the file refused when it is no journal."""
import datetime
import sqlite3
import threading

import pytest

from zandor_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from zandor_trader.core.order import Deal, Order
from zandor_trader.core.security import Security
from zandor_trader.trading import journal_reads
from zandor_trader.trading.journal import Journal, JournalError

ES = Security("EPZ5", Exchange.CME)
FILL_TIME = datetime.datetime(2025, 12, 1, 22, 30, 20)


def deal(deal_id="1000001", quantity=2, price=6848.5, direction=Direction.LONG):
    return Deal(deal_id=deal_id, order_id="{A}", security=ES, direction=direction,
                filled_avg_price=price, filled_quantity=quantity, updated_time=FILL_TIME)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "journal.sqlite")


def test_rows_are_committed_before_committed_returns_and_seen_by_another_connection(path):
    j = Journal(path, 100101, "sim", clock=lambda: 1_764_000_000.0)
    try:
        order = Order(security=ES, price=None, quantity=2, direction=Direction.LONG,
                      order_type=OrderType.MARKET, order_id="{A}")
        j.order(order, "placed")
        j.order_update({"order_id": "{A}", "status": OrderStatus.FILLED, "filled_quantity": 2,
                        "filled_avg_price": 6848.5, "updated_time": FILL_TIME})
        j.deal(deal(), "2025-12-02", 0.0, 2, 6848.5)
        j.deal(deal())  # reported twice: kept once
        j.request(1, "send_order", "/send_order EPZ5,2,l,o,m,CQG,None,None")
        assert j.committed(5)
        (row,) = journal_reads.listing(path, "deals")
        assert row == ("2025-12-01T22:30:20+08:00", "1000001", "{A}", "EPZ5", "CME", "LONG",
                       2, 6848.5)
        (order_row,) = journal_reads.listing(path, "orders")
        assert order_row[1:8] == ("{A}", "placed", "EPZ5", "CME", "LONG", 2, "MARKET")
        (request,) = journal_reads.listing(path, "requests")
        assert request[1:] == (1, "send_order", "/send_order EPZ5,2,l,o,m,CQG,None,None")
        with sqlite3.connect(path) as db:
            assert db.execute("PRAGMA journal_mode").fetchone() == ("wal",)
            (update,) = db.execute("SELECT status, broker_time FROM order_updates").fetchall()
        assert update == ("FILLED", "2025-12-01T22:30:20+08:00")
    finally:
        j.close()


def test_many_writers_at_once_lose_no_row(path):
    j = Journal(path, 100101)
    try:
        def write(n):
            for i in range(200):
                j.alert(f"{n}-{i}")
        threads = [threading.Thread(target=write, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert j.committed(10)
    finally:
        j.close()
    with sqlite3.connect(path) as db:
        assert db.execute("SELECT COUNT(DISTINCT text) FROM alerts").fetchone() == (800,)


def test_a_reply_is_repeated_until_its_delivery_is_confirmed_and_then_never(path):
    first = Journal(path, 100101)
    first.reply_queued(1, "Deal: 1000001", 1.0)
    first.reply_delivered(1, 2.0)
    first.reply_queued(2, "Order cancelled: {B}", 3.0)  # the session dies before it goes out
    first.close()

    second = Journal(path, 100101)
    assert second.previous == 1 and second.session == 2
    assert journal_reads.undelivered(path, second.session) == [(1, 2, "Order cancelled: {B}")]
    second.will_repeat("(repeat) Order cancelled: {B}", 1, 2)
    second.reply_queued(1, "(repeat) Order cancelled: {B}", 4.0)  # and dies again, unsent
    second.close()

    third = Journal(path, 100101)
    assert journal_reads.undelivered(path, third.session) == [
        (2, 1, "(repeat) Order cancelled: {B}")]
    third.will_repeat("(repeat) Order cancelled: {B}", 2, 1)
    third.reply_queued(1, "(repeat) Order cancelled: {B}", 5.0)
    third.reply_delivered(1, 6.0)
    third.close()
    assert journal_reads.undelivered(path, 4) == []


def test_what_a_restart_restores(path):
    j = Journal(path, 100101)
    for who, text in (("operator", "/balance"), ("bot", "Balance ..."), ("operator", "/stop")):
        j.chat(who, text)
    j.deal(deal("1", 2, 6850.0), "2025-12-02", 0.0, 2, 6850.0)
    j.deal(deal("2", 3, 6851.0, Direction.SHORT), "2025-12-02", 50.0, -1, 6851.0)
    j.close()
    assert journal_reads.chat_entries(path, 2) == [("bot", "Balance ..."), ("operator", "/stop")]
    assert [d.deal_id for d in journal_reads.recent_deals(path, 5)] == ["1", "2"]
    assert journal_reads.holdings(path) == [("EPZ5", "CME", -1, 6851.0)]
    assert journal_reads.deal_ids(path) == {"1", "2"}
    assert journal_reads.realized_by_day(path, "2025-12-01", "2025-12-02") == {
        "2025-12-02": {"EPZ5.CME": 50.0}}


def test_a_file_that_is_no_journal_is_refused_and_left_alone(tmp_path):
    other = tmp_path / "other.sqlite"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE mine (x)")
    with pytest.raises(JournalError, match="holds other tables: it is not a journal"):
        Journal(str(other), 100101)
    with sqlite3.connect(other) as db:
        assert [r[0] for r in db.execute("SELECT name FROM sqlite_master")] == ["mine"]
    text = tmp_path / "notes.txt"
    text.write_text("not a database at all\n" * 100)
    with pytest.raises(JournalError, match="cannot be used as a journal"):
        Journal(str(text), 100101)


def test_rows_reach_the_file_by_themselves_when_nobody_waits(path):
    j = Journal(path, 100101)
    try:
        j.alert("Gateway connection LOST.")
        from tests.waiting import eventually

        def written():
            with sqlite3.connect(path) as db:
                return db.execute("SELECT COUNT(*) FROM alerts").fetchone()[0] == 1
        eventually(written)
    finally:
        j.close()
