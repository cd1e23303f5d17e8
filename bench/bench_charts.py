"""What /chart's pictures cost: the first chart in a process whose plotting caches are new (a
fresh install: matplotlib builds its font list), against the same with the caches built; and
one chart of 60 and of 500 bars against one of a single bar, all measured in the same run.

The first-chart figures are whole processes: import, the warm-up the session does while it
starts, then one chart of 60 bars with fills and working orders.
"""
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

from benchlib import Row, median_seconds, timed

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT), str(ROOT / "python")]

FIRST_CHART = """
import time
began = time.perf_counter()
from zandor_trader.charts import drawing, draw_candles
from tests.charts.test_pictures import bars
from zandor_trader.charts import CandleChart
drawing.warm_up()
draw_candles(CandleChart("EPZ5", bars(60), last=6850.0))
print(time.perf_counter() - began)
"""


def first_chart_seconds(cache: str) -> float:
    env = dict(os.environ, MPLCONFIGDIR=cache,
               PYTHONPATH=os.pathsep.join([str(ROOT), str(ROOT / "python")]))
    out = subprocess.run([sys.executable, "-c", FIRST_CHART], env=env, check=True,
                         capture_output=True, text=True).stdout
    return float(out.split()[-1])


def rows(repeat):
    from tests.charts.test_pictures import bars
    from zandor_trader.charts import CandleChart, draw_candles

    fresh, warm = [], []
    with tempfile.TemporaryDirectory() as kept:
        first_chart_seconds(kept)  # builds this cache once
        for _ in range(repeat):
            with tempfile.TemporaryDirectory() as new:
                fresh.append(first_chart_seconds(new))
            warm.append(first_chart_seconds(kept))

    def chart(count):
        return lambda: timed(lambda: draw_candles(CandleChart("EPZ5", bars(count), last=6850.0)))

    chart(1)()  # matplotlib loaded and warm in this process
    one = median_seconds(chart(1), repeat)
    return [
        Row("charts: first chart, fresh install", statistics.median(fresh),
            "the same with the caches built", statistics.median(warm), "s a process",
            "< 30 s (the session builds the caches while it starts)"),
        Row("charts: draw 60 bars", median_seconds(chart(60), repeat) * 1e3,
            "draw 1 bar", one * 1e3, "ms a chart", "ratio <= 2"),
        Row("charts: draw 500 bars", median_seconds(chart(500), repeat) * 1e3,
            "draw 1 bar", one * 1e3, "ms a chart", "ratio <= 5"),
    ]
