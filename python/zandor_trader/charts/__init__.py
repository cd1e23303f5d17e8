"""Pictures for the operator: a candlestick chart of an instrument's one-minute bars with the
operator's fills and working orders marked (`candles`), and a P&L curve (`pnl`), drawn as PNG
images with matplotlib on its non-interactive Agg canvas (`drawing`).

`/chart SYMBOL [N]` is read and its data taken on the engine's thread (`request`); the picture
is drawn on a thread of its own, which also builds matplotlib's caches when the session starts,
and goes to the operator as a photo in turn with the other answers (`service`).

It depends on the records and trading (prices and market time) only; the session wires it to
the engine and the chat.
"""
from zandor_trader.charts.candles import CandleChart, draw_candles
from zandor_trader.charts.pnl import draw_pnl_curve
from zandor_trader.charts.service import Charts

__all__ = ["CandleChart", "Charts", "draw_candles", "draw_pnl_curve"]
