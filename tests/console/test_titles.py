"""Panel titles are never cut, whatever the terminal's size: their words are shortened and the
market's time zone always named; side by side, the lists share their row by column rank."""
import re

import pytest

from zandor_trader.console.panels import timed
from zandor_trader.console.tables import Column, FittedPanel, pick, share

from ..trading import fakes
from .test_display import frame, market, panel_rows, trade, view_of

SIZES = [(160, 50), (120, 40), (100, 30), (80, 24)]
TIMED = ("bars", "orders", "deals")  # panels whose times are the market's


def titles(text):
    """Every panel title in a frame, as drawn on the top border."""
    return re.findall(r"╭─ (.+?) ─+╮", text)


@pytest.mark.parametrize("width, height", SIZES)
def test_titles_are_whole_and_name_the_market_time_zone(width, height):
    gw = fakes.gateway_with_adapter()
    market(gw)
    trade(gw, 3)
    text = frame(view_of(gw), width, height)
    shown = titles(text)
    assert shown and not [t for t in shown if "…" in t or t.endswith(" ")], shown
    for title in shown:
        if any(word in title.lower() for word in TIMED):
            assert re.search(r"(market time )?UTC\+8$", title), title
    if height >= 30:
        assert [t for t in shown if "eals" in t], shown
    if (width, height) == (100, 30):  # the deals keep their time, the trace still shown
        head = panel_rows(text, next(t for t in shown if "eals" in t))[0]
        assert head.split() == ["Symbol", "Side", "Qty", "Price", "Time"], text
        assert any(t.startswith("Trace") for t in shown), shown


def test_every_form_of_a_timed_title_names_the_zone():
    assert timed("Recent deals, newest first", "Deals, newest first", "Deals") == [
        "Recent deals, newest first, market time UTC+8", "Deals, newest first, market time UTC+8",
        "Deals, market time UTC+8", "Deals, newest first, UTC+8", "Deals, UTC+8", "Deals UTC+8"]


def test_a_title_takes_the_longest_form_that_fits():
    forms = ("Recent deals, newest first, market time UTC+8", "Deals, market time UTC+8",
             "Deals UTC+8")
    titled = FittedPanel(None, forms)
    assert titled.title_for(200) == forms[0]
    assert titled.title_for(len(forms[0]) + 6) == forms[0]  # corners, rule and spaces
    assert titled.title_for(len(forms[0]) + 5) == forms[1]
    assert titled.title_for(len(forms[2]) + 6) == forms[2]
    assert titled.title_for(5) == forms[2]  # nothing shorter: the last, left to the frame


def test_a_row_is_shared_by_the_rank_of_the_columns():
    left = [Column("Id", 8, keep=0), Column("Type", 6, keep=5), Column("Price", 10, keep=6)]
    right = [Column("Symbol", 7, keep=0), Column("Price", 10, keep=3), Column("Time", 8, keep=4)]
    # Id 8, Symbol 7, Price 1 + 10, Time 1 + 8: 35 columns; a Type (7 more) does not fit.
    widths = share(43, [left, right])
    assert widths == [12, 31]
    assert [c.title for c in pick(left, widths[0] - 4)] == ["Id"]
    assert [c.title for c in pick(right, widths[1] - 4)] == ["Symbol", "Price", "Time"]
    # One column short of that: the right one stops at its time, and the room it leaves goes
    # to the next column that fits.
    assert [[c.title for c in pick(t, w - 4)] for t, w in
            zip((left, right), share(42, [left, right]))] == [["Id", "Type"], ["Symbol", "Price"]]
    wide = share(100, [left, right])
    assert [len(pick(t, w - 4)) for t, w in zip((left, right), wide)] == [3, 3]
    assert share(10, [left, right]) == [5, 5]  # too narrow for anything: the frames share it
