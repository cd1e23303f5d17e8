"""The pictures themselves: candlesticks with fills and working orders, and the P&L curve."""
import datetime

import pytest

from zandor_trader.charts import CandleChart, draw_candles, draw_pnl_curve
from zandor_trader.charts.candles import Fill, Working, place_orders, slot
from zandor_trader.core.data import Bar

from .pictures import assert_sane_png, png_size

T0 = datetime.datetime(2025, 12, 1, 22, 0)


def bars(count, start=T0, price=6850.0):
    made = []
    for n in range(count):
        o = price + (n % 7) - 3
        made.append(Bar(datetime=start + datetime.timedelta(minutes=n), open=o,
                        high=o + 2.5, low=o - 1.75, close=o + (1 if n % 2 else -1),
                        volume=1000 + n))
    return made


def test_a_fill_falls_in_the_bar_of_its_minute_or_the_one_still_forming():
    starts = [b.datetime for b in bars(3)]
    minute = datetime.timedelta(minutes=1)
    assert slot(starts, T0 - datetime.timedelta(seconds=1)) is None  # before the chart
    assert slot(starts, T0) == 0
    assert slot(starts, T0 + minute - datetime.timedelta(seconds=1)) == 0
    assert slot(starts, T0 + 2 * minute + datetime.timedelta(seconds=59)) == 2
    assert slot(starts, T0 + 3 * minute) == 3  # the bar still forming, right of the last


def test_orders_far_from_the_bars_are_named_at_the_edge_nearest_first():
    near, up, far_up, down, far_down = (Working(p, str(p), True)
                                        for p in (6851.0, 6862.0, 7000.0, 6835.0, 6000.0))
    # Bars from 6845 to 6855: orders from 6835 to 6865 drawn at their price.
    shown, above, below = place_orders([far_up, near, far_down, up, down], 6845.0, 6855.0)
    assert (shown, above, below) == ([near, up, down], [far_up], [far_down])
    # From 6845 to 6850: from 6840 to 6855.
    shown, above, below = place_orders([far_up, near, far_down, up, down], 6845.0, 6850.0)
    assert (shown, above, below) == ([near], [up, far_up], [down, far_down])
    assert place_orders([Working(6855.0, "at the edge", False)], 6845.0, 6850.0)[0]


def test_candles_with_fills_and_orders_near_and_far_make_a_png():
    fills = [Fill(T0 + datetime.timedelta(minutes=5, seconds=12), 6851.25, 2, True),
             Fill(T0 + datetime.timedelta(minutes=60, seconds=4), 6849.0, 1, False),  # forming
             Fill(T0 - datetime.timedelta(minutes=1), 6800.0, 9, True)]  # before: left out
    working = [Working(6853.25, "SELL 1 LIMIT 6853.25", False),
               Working(6100.0, "BUY 1 LIMIT 6100.00", True),  # far below: named at the edge
               Working(7400.0, "SELL 3 STOP 7400.00", False)]
    chart = CandleChart("EPZ5", bars(60), decimals=2, fills=fills, working=working,
                        last=6848.75, name="ES", notes=("12 of the 60 bars asked",))
    assert_sane_png(draw_candles(chart))
    # One bar, no fills, a flat one: still a picture.
    flat = [Bar(datetime=T0, open=58.9, high=58.9, low=58.9, close=58.9, volume=0)]
    assert png_size(draw_candles(CandleChart("CLEF6", flat))) == (1000, 600)
    with pytest.raises(ValueError, match="no bars of CLEF6"):
        draw_candles(CandleChart("CLEF6", []))


def test_the_pnl_curve_from_time_and_cumulative_pnl_points():
    points = [(T0 + datetime.timedelta(minutes=17 * n), v)
              for n, v in enumerate([0, 125.5, -300, -50, 812.25])]
    assert_sane_png(draw_pnl_curve(points, title="P&L of 2025-12-01"))
    assert_sane_png(draw_pnl_curve(points[:1]))  # one moment
    with pytest.raises(ValueError, match="no P&L points"):
        draw_pnl_curve([])
    with pytest.raises(ValueError, match="in time order"):
        draw_pnl_curve(points[::-1])
