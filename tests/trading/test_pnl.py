"""Realized P&L: trading days on the exchange's clock, deals booked at the average price,
/pnl's words, and the summary at a day's close on the broker's clock."""
import datetime

import pytest

from zandor_trader.trading import pnl, reports
from zandor_trader.trading.daily import DailySummary
from zandor_trader.trading.journal import Journal

from .test_journal import deal

UTC = datetime.timezone.utc


def utc(*args):
    return datetime.datetime(*args, tzinfo=UTC)


@pytest.mark.parametrize("moment, day", [
    (utc(2025, 12, 1, 21, 59), datetime.date(2025, 12, 1)),   # 15:59 in Chicago
    (utc(2025, 12, 1, 22, 0), datetime.date(2025, 12, 2)),    # 16:00: the next day's
    (utc(2025, 12, 5, 23, 30), datetime.date(2025, 12, 8)),   # Friday after the close: Monday
    (utc(2025, 12, 7, 23, 30), datetime.date(2025, 12, 8)),   # Sunday's open: Monday
    (utc(2025, 7, 1, 20, 59), datetime.date(2025, 7, 1)),     # summer time: 15:59 CDT
    (utc(2025, 7, 1, 21, 0), datetime.date(2025, 7, 2)),
])
def test_a_trading_day_closes_at_16_00_on_the_exchanges_clock(moment, day):
    assert pnl.trading_day(moment, "CME") == day


def test_hong_kong_keeps_its_own_clock():
    assert pnl.trading_day(utc(2025, 12, 1, 7, 59), "HKFE") == datetime.date(2025, 12, 1)
    assert pnl.trading_day(utc(2025, 12, 1, 8, 0), "HKFE") == datetime.date(2025, 12, 2)


def test_deals_realize_against_the_average_price_and_a_reversal_opens_at_its_price():
    book = pnl.PositionBook()
    assert book.book("EPZ5", "CME", 2, 6850.0, 50.0) == (0.0, 2, 6850.0)
    assert book.book("EPZ5", "CME", 2, 6852.0, 50.0) == (0.0, 4, 6851.0)
    # Selling 5 against 4 long: 4 close at +1.5 points, 1 opens short at the deal's price.
    assert book.book("EPZ5", "CME", -5, 6852.5, 50.0) == (300.0, -1, 6852.5)
    assert book.book("EPZ5", "CME", 1, 6853.5, 50.0) == (-50.0, 0, 0.0)
    # Without the contract's size the position is still followed; the money is unknown.
    assert book.book("CLEF6", "NYMEX", -1, 58.5, None) == (None, -1, 58.5)
    assert book.open_instruments() == [("CLEF6", "NYMEX")]


@pytest.mark.parametrize("args, days, heading", [
    ((), 1, "today (2025-12-08)"),
    (("today",), 1, "today (2025-12-08)"),
    (("WEEK",), 5, "the last 5 trading days"),
    (("3",), 3, "the last 3 trading days"),
])
def test_pnl_words(args, days, heading):
    asked, said = reports.days_asked(args, datetime.date(2025, 12, 8))  # a Monday
    assert len(asked) == days and said == heading
    assert asked[-1] == datetime.date(2025, 12, 8)
    assert all(d.weekday() < 5 for d in asked)
    if days == 3:
        assert asked[0] == datetime.date(2025, 12, 4)  # Thursday: the weekend skipped


@pytest.mark.parametrize("args", [("0",), ("367",), ("yesterday",), ("week", "2")])
def test_pnl_words_refused_say_how(args):
    with pytest.raises(reports.PnlArgumentError, match="Use /pnl, /pnl today"):
        reports.days_asked(args, datetime.date(2025, 12, 8))


def test_the_pnl_text_adds_up_days_and_instruments(tmp_path):
    path = str(tmp_path / "j.sqlite")
    j = Journal(path, 100101)
    j.deal(deal("1"), "2025-12-04", 125.0, 2, 6850.0)
    j.deal(deal("2"), "2025-12-05", -50.5, 0, 0.0)
    j.deal(deal("3"), "2025-12-05", None, 1, 58.0)  # not priced
    j.close()
    text = reports.pnl_text(path, reports.trading_days_back(datetime.date(2025, 12, 5), 5),
                            "the last 5 trading days")
    assert text.splitlines() == [
        "Realized P&L, the last 5 trading days:",
        "2025-12-04 Thu: 125", "    EPZ5.CME: 125",
        "2025-12-05 Fri: -50.5", "    EPZ5.CME: -50.5",
        "Total: 74.5",
        "(1 deals left out: their contract size is not known)"]


class BrokerClock:
    def __init__(self, at):
        self.at = at  # China time, as the component keeps it

    def broker_time(self):
        return self.at


def test_the_summary_goes_out_once_when_the_broker_passes_the_close(tmp_path):
    path = str(tmp_path / "j.sqlite")
    j = Journal(path, 100101)
    j.deal(deal("1"), "2025-12-01", 250.0, 0, 0.0)
    sent = []
    gateway = BrokerClock(datetime.datetime(2025, 12, 2, 5, 0))  # Monday 15:00 in Chicago
    daily = DailySummary(gateway, j, "CME", datetime.time(16, 0), 60.0, sent.append,
                         lambda: ["Open positions: 0"])
    try:
        daily.start(100.0)
        assert sent == [] and daily.due() == pytest.approx(100.0 + 3601 / 60.0)
        gateway.at = datetime.datetime(2025, 12, 2, 5, 59, 59)
        daily.run(159.0)  # early: the broker's clock ran slow, look again soon
        assert sent == [] and daily.due() == pytest.approx(159.0 + 2 / 60.0)
        gateway.at = datetime.datetime(2025, 12, 2, 6, 0, 1)
        daily.run(160.0)
        daily.run(161.0)
    finally:
        j.close()
    (summary,) = sent
    assert summary.splitlines() == [
        "Realized P&L, trading day 2025-12-01 closed at 16:00 Chicago time (CME):",
        "2025-12-01 Mon: 250", "    EPZ5.CME: 250", "Open positions: 0"]


def test_deals_are_journaled_with_their_day_and_what_they_realized(tmp_path):
    import sqlite3

    from zandor_trader.core.constants import Direction
    from zandor_trader.core.position import PositionData
    from zandor_trader.trading.bookkeeping import Bookkeeping

    from .test_journal import ES

    path = str(tmp_path / "j.sqlite")
    j = Journal(path, 100101)
    books = Bookkeeping(j, lambda security: 50.0)
    try:
        assert books.record(deal("1", 2, 6850.0)) == 0.0
        # Sold after the close on Monday (Chicago): counts for Tuesday.
        late = deal("2", 1, 6852.0, Direction.SHORT)
        late.updated_time = datetime.datetime(2025, 12, 2, 6, 30)
        assert books.record(late) == 100.0
        unknown = deal("3")
        unknown.security = unknown.direction = None  # an order never learnt
        assert books.record(unknown) is None
        # The broker says flat (a position closed while nothing was journaled): start over.
        books.align([])
        assert books.book.held("EPZ5", "CME") == (0, 0.0)
        books.align([PositionData(security=ES, direction=Direction.SHORT, holding_price=6860.0,
                                  quantity=3, update_time=None)])
        assert books.book.held("EPZ5", "CME") == (-3, 6860.0)
        j.committed()
    finally:
        j.close()
    with sqlite3.connect(path) as db:
        rows = db.execute("SELECT deal_id, side, trading_day, realized_pnl, position "
                          "FROM deals ORDER BY rowid").fetchall()
    assert rows == [("1", "LONG", "2025-12-01", 0.0, 2), ("2", "SHORT", "2025-12-02", 100.0, 1),
                    ("3", "", None, None, None)]
