"""Orders through the adapter on the simulated component.

- place_order round trip (symbol and account look-ups, CreateOrder, Place, the wait for the
  added event), median and 99th percentile, against one proxy round trip (a member read
  executed on the component's thread) measured in the same run, alternating. Each order is
  cancelled after its placement, untimed, so that every placement meets one working order.
- The order-change handler for a change with a fill, called on the component's thread with
  wrapped component objects, against the same handler written in plain Python.
- The gateway's sink for the same change (the broker's reason looked up first, then the
  adapter's handler), against the adapter's handler alone.

Run: PYTHONPATH=python:python/combridge python bench/run.py orders
"""
import contextlib
import os
import statistics
import time

import comsim
import cqgsim
import win32com.client
from cqgsim import constants as C
from zandor_trader.gateways.cqg.wrapper.vantor import convert_orderstatus_cqg2qt

from benchlib import Row
from vantor_py import whole_seconds

PLACEMENTS = 200   # per repetition
PROXY_READS = 200  # per repetition
HANDLER_CALLS = 5_000


class NullGateway:
    def process_order(self, update):
        pass

    def process_deal(self, deal):
        pass


def python_handler(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
    """The order-change handler's work in plain Python, for the baseline."""
    constants = win32com.client.constants
    if cqgError is not None:
        return
    order = win32com.client.Dispatch(cqgOrder)
    properties = win32com.client.Dispatch(order.Properties)
    status = properties(constants.opGWStatus)
    guid = properties(constants.opGUID)
    updated = whole_seconds(properties(constants.opEventServerTimestamp).Value)
    avg = properties(constants.opAverageFillPrice).Value
    filled = properties(constants.opFilledQuantity).Value
    qt_status = convert_orderstatus_cqg2qt(status.Value)
    order_id = guid.Value
    if changeType == constants.ctChanged or changeType == constants.ctRemoved:
        self.gateway.process_order({"order_id": order_id, "updated_time": updated,
                                    "filled_avg_price": avg, "filled_quantity": filled,
                                    "status": qt_status})
    if not cqgFill:
        return
    fill = win32com.client.Dispatch(cqgFill)
    if fill.Status != constants.fsNormal:
        return
    self.gateway.process_deal({
        "deal_id": fill.Id, "order_id": fill.Order.GUID, "updated_time": whole_seconds(fill.Timestamp),
        "filled_avg_price": fill.Price, "filled_quantity": fill.Quantity})


class PyAdapter:
    OnOrderChanged = python_handler

    def __init__(self):
        self.gateway = NullGateway()


def _session():
    from zandor_trader.core.constants import Exchange
    from zandor_trader.core.security import Security
    from zandor_trader.gateways.cqg.gateway import CqgGateway
    from zandor_trader.gateways.cqg.sink import sink_type
    from zandor_trader.gateways.cqg.wrapper import Ambrel

    cqgsim.reset()
    # Buying power counts the working orders: an account large enough for every resting
    # placement, so that the market order after them fills.
    cqgsim.configure(accounts=[(100101, "ZT-SIM-1", 1e9)])
    env = Ambrel.Ambrel()
    security = Security("ES", Exchange.CME)
    gateway = CqgGateway({"EPZ5": security}, history=10)
    # The gateway's own sink; its base, the adapter, is measured through the base class.
    adapter = env.Init(sink_type(gateway), None)
    gateway.ambrel = env
    adapter.Init(gateway)
    sim = cqgsim.latest()
    env.cqgCEL.GWLogon("bench", "bench")
    env.cqgCEL.NewInstrument("EPZ5")
    sim.sync()
    adapter.subscribe_account_and_positions(100101)
    return env, adapter, sim, security


def _percentile(samples, q):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def _round_trips(repeat, adapter, env, sim, security):
    from zandor_trader.core.constants import Direction, OrderType
    from zandor_trader.core.order import Order

    # A resting order far from the market: placed, never filled.
    resting = Order(security=security, price=1000.0, quantity=1, direction=Direction.LONG,
                    order_type=OrderType.LIMIT)
    cel = env.cqgCEL
    place, proxy = [], []
    clock = time.perf_counter
    for _ in range(repeat):
        for _ in range(PLACEMENTS):
            start = clock()
            guid = adapter.place_order(resting)
            place.append(clock() - start)
            # Untimed: the component checks buying power against every working order of the
            # account, so resting orders left to pile up would time the simulator's walk.
            adapter.cancel_order(guid)
            sim.sync()
        for _ in range(PROXY_READS):
            start = clock()
            cel.IsStarted
            proxy.append(clock() - start)
    return place, proxy


def _handler_seconds(sim, adapter, repeat):
    """Per-call seconds of the C++ handler, the Python handler and the gateway's sink, run
    on the component's thread."""
    from zandor_trader.gateways.cqg.wrapper import vantor

    def run():
        order = next(o for o in sim._core.orders._items if o._fills)
        wrapped_order = win32com.client.Dispatch(order)
        wrapped_fill = win32com.client.Dispatch(order._fills[-1])
        baseline = PyAdapter()
        handlers = {"ours": lambda *a: vantor.Vantor.OnOrderChanged(adapter, *a),
                    "python": baseline.OnOrderChanged, "sink": adapter.OnOrderChanged}
        results = []
        for _ in range(repeat):
            for name, handler in handlers.items():
                start = time.perf_counter()
                for _ in range(HANDLER_CALLS):
                    handler(C.ctChanged, wrapped_order, None, wrapped_fill, None)
                results.append((name, (time.perf_counter() - start) / HANDLER_CALLS))
        return results

    saved, adapter.gateway = adapter.gateway, NullGateway()
    try:
        results = comsim.call(sim.component, run)
    finally:
        adapter.gateway = saved
    return {name: statistics.median(t for n, t in results if n == name)
            for name in ("ours", "python", "sink")}


def rows(repeat):
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        env, adapter, sim, security = _session()
        try:
            # A fill to feed the handler with, made first: the resting orders of the round
            # trips hold the account's buying power.
            from zandor_trader.core.constants import Direction, OrderType
            from zandor_trader.core.order import Order
            sim.push_ticks("EPZ5", [("bid", 6850.0, 10), ("ask", 6850.25, 10)])
            sim.sync()
            adapter.place_order(Order(security=security, price=0.0, quantity=1,
                                      direction=Direction.LONG, order_type=OrderType.MARKET))
            sim.sync()
            place, proxy = _round_trips(repeat, adapter, env, sim, security)
            handler = _handler_seconds(sim, adapter, repeat)
        finally:
            env.Shutdown()
            env.thread.join()
            cqgsim.reset()
    us = 1e6
    return [
        Row("place_order round trip, median", statistics.median(place) * us,
            "proxy round trip, median", statistics.median(proxy) * us, "us/order",
            "ratio <= 3: the component calls are one work item on the worker"),
        Row("place_order round trip, p99", _percentile(place, 0.99) * us,
            "proxy round trip, p99", _percentile(proxy, 0.99) * us, "us/order",
            "ratio <= 3: no long tail beyond the proxy's own"),
        Row("OnOrderChanged, change with a fill", handler["ours"] * us,
            "same handler in plain Python", handler["python"] * us, "us/event", "ratio <= 1"),
        Row("gateway sink OnOrderChanged, change with a fill", handler["sink"] * us,
            "the adapter's handler alone", handler["ours"] * us, "us/event",
            "the reason's look-up (a wrap and a status read) costs less than the handler"),
    ]


if __name__ == "__main__":
    from benchlib import print_table
    print_table(rows(3))
