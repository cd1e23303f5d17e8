"""/chart served: read and its data taken on the engine's thread, drawn on the charts' own
thread, handed on in the order asked; refusals and failures answered with one plain line."""
import datetime
import threading
import types

import pytest

from zandor_trader.charts import Charts, service
from zandor_trader.core.data import Quote
from zandor_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.trading import prices

from ..trading import fakes
from ..waiting import eventually
from .pictures import assert_sane_png
from .test_pictures import T0, bars

ES = Security("ES", Exchange.CME)  # the operator's name for EPZ5
CL = Security("CLEF6", Exchange.NYMEX)


@pytest.fixture
def gateway():
    gw = CqgGateway({"EPZ5": ES, "CLEF6": CL}, tick_sizes=fakes.TICKS)
    gw.adapter = fakes.Adapter(gw)  # type: ignore[assignment]
    gw.cqg_quotes[ES] = Quote(security=ES, last_price=6850.25)
    windows = {ES: bars(90), CL: []}
    gw.adapter.get_subscribe_bars_data = windows.get  # type: ignore[method-assign]
    prices.use_tick_source(gw.tick_size)
    yield gw
    prices.use_tick_source(None)


@pytest.fixture
def charts(gateway):
    made = types.SimpleNamespace(photos=[], replies=[], notices=[], saved=[])

    def save(png, symbol):
        made.saved.append(symbol)
        return f"chart-{len(made.saved)}-{symbol}.png"

    made.charts = Charts(gateway, made.photos.append, made.replies.append, save=save,
                         log=made.notices.append).start()
    yield made
    made.charts.close()


def place(gateway, security, direction, quantity, price=None, stop=None, fill=None, when=None):
    order_type = OrderType.STOP if stop else OrderType.LIMIT if price else OrderType.MARKET
    order_id = gateway.send_order(Order(security=security, price=price, stop_price=stop,
                                        quantity=quantity, direction=direction,
                                        order_type=order_type))
    gateway.adapter.report(order_id, OrderStatus.SUBMITTED)
    if fill is not None:
        gateway.process_deal({"deal_id": order_id, "order_id": order_id, "updated_time": when,
                              "filled_avg_price": fill, "filled_quantity": quantity})
    return order_id


def test_a_chart_shows_the_last_bars_with_the_fills_and_working_orders_of_its_instrument(
        gateway, charts):
    minute = datetime.timedelta(minutes=1)
    place(gateway, ES, Direction.LONG, 2, fill=6851.25, when=T0 + 70 * minute)
    place(gateway, ES, Direction.SHORT, 1, fill=6849.0, when=T0)  # before the 30, in the 90
    place(gateway, CL, Direction.LONG, 1, fill=58.9, when=T0 + 80 * minute)  # another one
    place(gateway, ES, Direction.SHORT, 1, price=6853.25)
    stop = place(gateway, ES, Direction.LONG, 5, stop=6860.5)
    gateway.adapter.report(stop, OrderStatus.SUBMITTED, filled=2, price=6860.5)  # 3 left
    place(gateway, CL, Direction.LONG, 1, price=58.5)
    place(gateway, ES, Direction.SHORT, 1, fill=6848.0, when=T0 - minute)  # before the 90
    charts.charts.serve(["es", "30"])  # as the operator names it, in any letter case
    eventually(lambda: charts.photos)
    (photo,) = charts.photos
    assert_sane_png(photo.png)
    assert photo.label == "chart EPZ5, 30 bars" and photo.file == "chart-1-EPZ5.png"
    assert photo.caption == ("chart EPZ5, 30 bars\n23:00 to 23:30 UTC+8, last 6850.25; "
                             "1 fill, 2 working orders")
    assert charts.replies == [] and charts.notices == []
    assert service.request.take(gateway, ES, 90).chart.notes == ()  # all asked: no note
    assert service.request.read(["EPZ5", "500"], gateway) == (ES, 500)
    assert service.request.read(["clef6", "1"], gateway) == (CL, 1)

    asked = service.request.take(gateway, ES, 200)  # more than there are: what is kept
    assert len(asked.chart.bars) == 90 and asked.label == "chart EPZ5, 90 bars"
    assert asked.chart.notes == ("90 of the 200 bars asked: no more kept yet",)
    assert sorted(w.text for w in asked.chart.working) == ["BUY 3 STOP 6860.50",
                                                           "SELL 1 LIMIT 6853.25"]
    assert [(f.price, f.quantity, f.buy) for f in asked.chart.fills] == [
        (6851.25, 2, True), (6849.0, 1, False)]  # the 90 bars reach back to both


@pytest.mark.parametrize("words, answer", [
    ([], "Usage: /chart SYMBOL [N]"),
    (["EPZ5", "5", "6"], "Usage: /chart SYMBOL [N]"),
    (["NQ"], "No instrument NQ in this session (it follows EPZ5, CLEF6)."),
    (["EPZ5", "0"], "N must be a whole number of bars from 1 to 500, not 0."),
    (["EPZ5", "501"], "N must be a whole number of bars from 1 to 500, not 501."),
    (["EPZ5", "x"], "N must be a whole number of bars from 1 to 500, not x."),
    (["CLEF6"], "No one-minute bars of CLEF6 yet: nothing to chart."),
])
def test_a_chart_that_cannot_be_drawn_is_answered_with_one_line(gateway, charts, words, answer):
    charts.charts.serve(words)
    (reply,) = charts.replies
    assert reply.startswith(answer) and "\n" not in reply
    assert charts.photos == []


def test_charts_come_in_the_order_asked_a_bounded_number_waiting_and_all_before_the_end(
        gateway, charts):
    release = threading.Event()
    first = []

    def deliver(photo):
        if not first:  # the drawing thread waits here with the first chart
            first.append(photo)
            release.wait(10)
        charts.photos.append(photo)

    charts.charts.deliver = deliver
    charts.charts.serve(["EPZ5", "1"])
    eventually(lambda: first)
    for n in range(2, 1 + service.MAX_WAITING):  # the one being drawn counts
        charts.charts.serve(["EPZ5", str(n)])
    charts.charts.serve(["EPZ5", "9"])  # one too many while those wait
    assert charts.replies == ["Still drawing 4 charts: ask again once they are in."]
    release.set()
    eventually(lambda: len(charts.photos) == 4)
    charts.charts.serve(["EPZ5", "9"])  # once they are in, there is room again
    charts.charts.serve(["EPZ5", "10"])
    charts.charts.close()  # draws what was asked before it ends
    assert [p.label for p in charts.photos] == [
        f"chart EPZ5, {n} bars" for n in (1, 2, 3, 4, 9, 10)]
    assert len(charts.replies) == 1
    assert not charts.charts._thread.is_alive()
    charts.charts.serve(["EPZ5"])
    assert charts.replies[-1] == "No chart now: the session is ending."


def test_failures_to_draw_or_to_save_are_told_and_the_next_chart_still_drawn(
        gateway, charts, monkeypatch):
    drawn = service.draw_candles
    monkeypatch.setattr(service, "draw_candles", lambda chart: 1 / 0)
    charts.charts.serve(["EPZ5", "5"])
    eventually(lambda: charts.replies)
    assert charts.replies == ["Chart of EPZ5 failed: ZeroDivisionError: division by zero"]
    assert charts.notices[0].startswith("Drawing the chart of EPZ5 failed:\nTraceback")
    monkeypatch.setattr(service, "draw_candles", drawn)

    def full(png, symbol):
        raise OSError(28, "No space left on device")

    charts.charts.save = full
    charts.charts.serve(["EPZ5", "5"])
    eventually(lambda: charts.photos)
    assert charts.photos[0].file is None  # the operator still gets the picture
    assert charts.notices[-1] == ("The chart of EPZ5 was not saved: OSError: [Errno 28] No "
                                  "space left on device")


def test_without_the_plotting_library_charts_are_refused_with_the_reason(gateway, monkeypatch):
    def broken():
        raise ImportError("No module named 'matplotlib'")

    monkeypatch.setattr(service.drawing, "warm_up", broken)
    replies, notices = [], []
    charts = Charts(gateway, lambda photo: None, replies.append, log=notices.append).start()
    charts.serve(["EPZ5"])
    charts.close()
    assert notices == ["Charts cannot be drawn here: ImportError: No module named 'matplotlib'"]
    assert replies == ["Chart of EPZ5 not drawn: charts cannot be drawn here (ImportError: No "
                       "module named 'matplotlib')."]
