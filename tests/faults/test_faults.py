"""Fault runs of the environment and the adapter against the simulated component: connections
dropping and coming back, data errors at any time, handlers that raise, shutdown with events
and calls in flight, and an apartment that cannot be entered. Nothing hangs (the timeout
guards each test) and nothing the component delivered is lost."""
import threading

import pytest

import comsim
import cqgsim
import pythoncom
from zandor_trader.core.constants import Direction, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor

from .conftest import ES, NQ, Session, eventually, traces_of, unanswered

pytestmark = pytest.mark.timeout(60)
RPC_E_DISCONNECTED = -2147417848
DISP_E_EXCEPTION = -2147352567


def trades(gateway, security=ES):
    return [q.last_price for q in gateway.quotes if q.security == security]


def test_the_gateway_link_drops_and_comes_back_while_market_data_goes_on(online, out):
    a, sim, gw = online.adapter, online.sim, online.gateway
    a.subscribe_quote("EPZ5")
    sim.drop("gw")
    sim.push_quotes("EPZ5", qtTrade=6851.0)
    sim.sync()
    assert a.eventGatewayIsDown.is_set()
    sim.restore("gw")
    sim.push_quotes("EPZ5", qtTrade=6852.0)
    sim.sync()
    assert trades(gw)[-2:] == [6851.0, 6852.0]
    lines = traces_of(out.read())
    assert "GW connection is UP!" in lines[lines.index("GW connection is DOWN!"):]
    a.Logon("trader", "secret")  # the up event was never cleared: returns at once


def test_orders_across_a_gateway_outage_fill_once_and_placements_while_down_fail(online):
    a, sim, gw = online.adapter, online.sim, online.gateway
    a.subscribe_quote("EPZ5")
    a.subscribe_account_and_positions(100101)
    sim.push_quotes("EPZ5", qtBid=6850.0, qtAsk=6850.25)
    resting = a.place_order(Order(security=ES, price=6849.0, quantity=2, direction=Direction.LONG,
                                  order_type=OrderType.LIMIT))
    sim.drop("gw")
    refused = a.place_order(Order(security=ES, price=6849.0, quantity=1,
                                  direction=Direction.LONG, order_type=OrderType.LIMIT))
    sim.push_ticks("EPZ5", [("ask", 6848.75, 5), ("trade", 6848.75, 5)])  # through the limit
    sim.sync()
    assert [d for d in gw.deals if d["order_id"] == resting] == []  # nothing fills while down
    sim.restore("gw")
    sim.push_ticks("EPZ5", [("ask", 6848.5, 5), ("trade", 6848.5, 1)])
    sim.sync()
    deals = [d for d in gw.deals if d["order_id"] == resting]
    assert len(deals) == 1 and deals[0]["filled_quantity"] == 2
    statuses = {u["order_id"]: u["status"] for u in gw.order_updates}
    assert statuses[resting] == OrderStatus.FILLED and statuses[refused] == OrderStatus.FAILED


def test_the_data_link_drops_and_coming_back_brings_the_quotes_as_they_stand(online, out):
    a, sim, gw = online.adapter, online.sim, online.gateway
    a.subscribe_quote("EPZ5")
    sim.push_quotes("EPZ5", qtTrade=6851.0)
    sim.drop("data")
    for price in (6852.0, 6853.0, 6854.0):
        sim.push_quotes("EPZ5", qtTrade=price)
    sim.sync()
    assert trades(gw)[-1] == 6851.0  # nothing delivered while the link was down
    sim.restore("data")
    sim.sync()
    assert gw.cqg_quotes[ES].last_price == 6854.0 == trades(gw)[-1]
    printed = [line for line in out.read().splitlines() if line.startswith("DataConnectionStatus=")]
    assert printed[-2:] == [f"DataConnectionStatus={cqgsim.constants.csConnectionDown}",
                            f"DataConnectionStatus={cqgsim.constants.csConnectionUp}"]


def test_data_errors_at_any_time_are_traced_and_release_nobody(online, out, capsys):
    a, sim, gw = online.adapter, online.sim, online.gateway
    a.subscribe_quote("EPZ5")
    sim.respond("RequestTicks", "hold")
    with unanswered():
        a.subscribe_orderbook("ENQZ5")  # held: times out
    prices = []
    for i in range(50):
        if i % 7 == 0:
            sim.data_error(100 + i, f"feed hiccup {i}", with_object=i % 14 == 0)
        prices.append(6850.0 + i / 4)
        sim.push_quotes("EPZ5", qtTrade=prices[-1])
    sim.sync()
    assert not a.eventOrderbookDone.is_set()  # a data error answers no request
    assert trades(gw)[-50:] == prices  # every quote went through, in order
    adapter_lines = [m for m in traces_of(out.read()) if m.startswith("OnDataError")]
    assert adapter_lines == [f"OnDataError: Code: {100 + i} Description: feed hiccup {i}"
                             for i in range(0, 50, 14)]
    assert online.env.errorHappened  # the environment's own sink saw them too
    sim.release("RequestTicks")
    sim.sync()
    assert a.eventOrderbookDone.is_set()


class Raising(vantor.Vantor):
    """An adapter whose every component event handler raises after doing its work."""


def _raise_after(name):
    base = getattr(vantor.Vantor, name)

    def handler(self, *args):
        base(self, *args)
        raise RuntimeError(f"{name} failed on purpose")

    return handler


for _name in [n for n in dir(vantor.Vantor) if n.startswith("On")]:
    setattr(Raising, _name, _raise_after(_name))


def test_a_sink_raising_on_every_event_disturbs_neither_the_environment_nor_the_flow(
        gateway, no_threads_left, capfd):
    cqgsim.reset()
    env = Ambrel.Ambrel()
    adapter = env.Init(Raising, None)
    gateway.ambrel = env
    adapter.Init(gateway)
    sim = cqgsim.latest()
    try:
        adapter.Logon("trader", "secret")  # released by a handler that raises afterwards
        adapter.subscribe_quote("EPZ5")
        prices = [6850.0 + i for i in range(20)]
        for p in prices:
            sim.push_quotes("EPZ5", qtTrade=p)
        sim.sync()
        assert trades(gateway)[-20:] == prices
        assert env.cqgCEL.Instruments is not None  # calls through the hand-over still run
    finally:
        env.Shutdown()
    err = capfd.readouterr().err
    assert err.count("pythoncom error: Python error invoking COM method.") >= 22
    assert "OnInstrumentChanged failed on purpose" in err and sim.errors == []


def test_a_gateway_raising_on_every_record_leaves_the_adapter_working(online, capfd):
    a, sim, gw = online.adapter, online.sim, online.gateway
    failing = {"on": True}
    received = []

    def process_quote(quote):
        received.append(quote.last_price)
        if failing["on"]:
            raise ValueError("the engine is busy")

    gw.process_quote = process_quote
    a.subscribe_quote("EPZ5")
    for i in range(10):
        sim.push_quotes("EPZ5", qtTrade=6850.0 + i)
    sim.sync()
    # Each record was stored before it was handed over, and the failure stopped nothing.
    assert received[-10:] == [6850.0 + i for i in range(10)]
    assert gw.cqg_quotes[ES].last_price == 6859.0
    failing["on"] = False
    sim.push_quotes("EPZ5", qtTrade=6900.0)
    sim.sync()
    assert received[-1] == 6900.0
    assert capfd.readouterr().err.count("ValueError: the engine is busy") == 10


def test_shutdown_with_events_and_calls_in_flight_ends_everything(sessions, capsys):
    s = sessions(mode="live", seed=3, speed=600.0)
    a = s.adapter
    a.Logon("trader", "secret")
    a.subscribe_quote("EPZ5")
    a.subscribe_orderbook("ENQZ5")
    eventually(lambda: len(s.gateway.quotes) > 20)  # the live market is flowing
    stop = threading.Event()
    outcomes = []

    def caller():
        # Another thread keeps calling through the handed-over interface.
        while not stop.is_set():
            try:
                a.subscribe_quote("DDZ5")
                a.get_instrument_from_cqg_symbol("EPZ5")
            except pythoncom.com_error as exc:  # the component or its apartment is gone
                outcomes.append(exc.hresult)
                return
        outcomes.append("stopped")

    thread = threading.Thread(target=caller)
    with unanswered():  # once the worker is gone, a request waits this long at most
        thread.start()
        eventually(lambda: len(s.gateway.quotes) > 40)
        s.env.Shutdown()
    assert not s.env.thread.is_alive()
    thread.join(10)
    stop.set()
    thread.join(10)
    assert not thread.is_alive()
    assert outcomes in ([RPC_E_DISCONNECTED], [DISP_E_EXCEPTION])
    with pytest.raises(pythoncom.com_error) as err:
        a.subscribe_quote("EPZ5")  # the worker is gone: refused at once, not waited for
    assert err.value.hresult == RPC_E_DISCONNECTED
    assert comsim.fire(s.sim.component, "OnIdle") == 0
    assert comsim.stats()["pending_calls"] == 0
    capsys.readouterr()


def test_an_apartment_that_cannot_be_entered_fails_start_up_and_the_next_one_works(
        monkeypatch, no_threads_left, thread_errors, capsys):
    def refuse():
        raise pythoncom.com_error(-2147467259, "Unspecified error", None, None)

    monkeypatch.setattr(pythoncom, "CoInitialize", refuse)
    env = Ambrel.Ambrel()
    with pytest.raises(RuntimeError, match="^CQGCEL worker ended before it was prepared: "):
        env.Init(vantor.Vantor, None)
    env.Shutdown()
    assert not env.thread.is_alive() and [e.exc_type for e in thread_errors] == [pythoncom.com_error]
    monkeypatch.undo()

    cqgsim.reset()
    gateway = CqgGateway({"EPZ5": ES, "ENQZ5": NQ})
    s = Session(gateway)
    s.adapter.Logon("trader", "secret")
    s.close()
    capsys.readouterr()


@pytest.fixture
def thread_errors(monkeypatch):
    seen = []
    monkeypatch.setattr(threading, "excepthook", seen.append)
    return seen
