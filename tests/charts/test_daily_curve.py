"""The daily summary's P&L curve: its points from the journal's deals of the day, in market
time, and the picture drawn on the charts' thread and handed on after the summary's text, a
PNG, within a bounded time."""
import datetime
import threading

from zandor_trader.charts import Charts
from zandor_trader.charts.pnl import day_curve
from zandor_trader.trading import reports
from zandor_trader.trading.daily import DailySummary
from zandor_trader.trading.journal import Journal

from ..trading.test_journal import deal
from ..trading.test_pnl import BrokerClock
from .pictures import assert_sane_png

DRAWN_WITHIN = 30.0  # seconds: the plotting library's caches may still be built
DAY = "2025-12-01"


def journal_of_a_day(path):
    """Three deals of trading day DAY (China time, out of order in the journal), one of the
    next day, one not priced."""
    j = Journal(path, 100101)
    for deal_id, hour, realized, day in [("1", 23, 0.0, DAY), ("3", 2, -50.0, DAY),
                                         ("2", 22, 125.0, DAY), ("4", 6, 10.0, "2025-12-02"),
                                         ("5", 23, None, DAY)]:
        d = deal(deal_id)
        d.updated_time = datetime.datetime(2025, 12, 1 if hour >= 22 else 2, hour, 30)
        j.deal(d, day, realized, 0, 0.0)
    return j


def test_the_points_grow_deal_by_deal_from_zero_in_market_time(tmp_path):
    path = str(tmp_path / "j.sqlite")
    journal_of_a_day(path).close()
    close = datetime.datetime(2025, 12, 1, 22, 0, tzinfo=datetime.timezone.utc)  # 16:00 CST
    assert reports.pnl_points(path, datetime.date(2025, 12, 1), close) == [
        (datetime.datetime(2025, 12, 1, 22, 30), 0.0),
        (datetime.datetime(2025, 12, 1, 22, 30), 125.0),
        (datetime.datetime(2025, 12, 1, 23, 30), 125.0),
        (datetime.datetime(2025, 12, 2, 2, 30), 75.0),
        (datetime.datetime(2025, 12, 2, 6, 0), 75.0)]  # held to the close
    assert reports.pnl_points(path, datetime.date(2025, 12, 3)) == []


def test_the_curve_comes_as_a_picture_after_the_summary(tmp_path):
    path = str(tmp_path / "j.sqlite")
    j = journal_of_a_day(path)
    told, photos, arrived = [], [], threading.Event()
    charts = Charts(None, lambda photo: (photos.append(photo), arrived.set()),
                    told.append).start()
    gateway = BrokerClock(datetime.datetime(2025, 12, 2, 5, 0))  # Monday 15:00 in Chicago
    daily = DailySummary(gateway, j, "CME", datetime.time(16, 0), 60.0, told.append)
    daily.picture = lambda day, points: charts.draw(day_curve(day, points))
    try:
        daily.start(0.0)
        gateway.at = datetime.datetime(2025, 12, 2, 6, 0, 1)  # past the close
        daily.run(1.0)
        assert arrived.wait(DRAWN_WITHIN)
    finally:
        charts.close()
        j.close()
    assert told[0].startswith("Realized P&L, trading day 2025-12-01 closed at 16:00")
    (photo,) = photos
    assert photo.label == "P&L curve, trading day 2025-12-01"
    assert photo.caption == ("P&L curve, trading day 2025-12-01\n"
                             "realized +75.00 (22:30 to 06:00 UTC+8)")
    assert_sane_png(photo.png)
    assert told[1:] == []  # nothing went wrong


def test_a_day_without_priced_deals_has_no_picture(tmp_path):
    j = Journal(str(tmp_path / "j.sqlite"), 100101)
    pictures = []
    gateway = BrokerClock(datetime.datetime(2025, 12, 2, 5, 0))
    daily = DailySummary(gateway, j, "CME", datetime.time(16, 0), 60.0, lambda text: None)
    daily.picture = lambda day, points: pictures.append(points)
    try:
        daily.start(0.0)
        gateway.at = datetime.datetime(2025, 12, 2, 6, 0, 1)
        daily.run(1.0)
    finally:
        j.close()
    assert pictures == []
